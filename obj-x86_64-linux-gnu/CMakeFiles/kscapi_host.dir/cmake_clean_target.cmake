file(REMOVE_RECURSE
  "libkscapi_host.a"
)
