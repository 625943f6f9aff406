file(REMOVE_RECURSE
  "CMakeFiles/kscapi_extension_packs"
  "kscapi.crx"
  "kscapi.xpi"
)

# Per-language clean rules from dependency scanning.
foreach(lang )
  include(CMakeFiles/kscapi_extension_packs.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
