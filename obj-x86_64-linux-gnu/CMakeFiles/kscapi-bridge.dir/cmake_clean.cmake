file(REMOVE_RECURSE
  "CMakeFiles/kscapi-bridge.dir/host/bridge/main.cpp.o"
  "CMakeFiles/kscapi-bridge.dir/host/bridge/main.cpp.o.d"
  "kscapi-bridge"
  "kscapi-bridge.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/kscapi-bridge.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
