file(REMOVE_RECURSE
  "CMakeFiles/kscapi.dir/host/main.cpp.o"
  "CMakeFiles/kscapi.dir/host/main.cpp.o.d"
  "kscapi"
  "kscapi.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/kscapi.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
