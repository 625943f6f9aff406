file(REMOVE_RECURSE
  "CMakeFiles/KestruneATL.dir/module/module.cpp.o"
  "CMakeFiles/KestruneATL.dir/module/module.cpp.o.d"
  "libKestruneATL.pdb"
  "libKestruneATL.so"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/KestruneATL.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
