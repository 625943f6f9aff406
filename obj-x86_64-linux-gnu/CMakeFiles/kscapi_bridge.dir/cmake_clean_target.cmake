file(REMOVE_RECURSE
  "libkscapi_bridge.a"
)
