file(REMOVE_RECURSE
  "CMakeFiles/kscapi_host.dir/host/arguments.cpp.o"
  "CMakeFiles/kscapi_host.dir/host/arguments.cpp.o.d"
  "CMakeFiles/kscapi_host.dir/host/demo_ca.cpp.o"
  "CMakeFiles/kscapi_host.dir/host/demo_ca.cpp.o.d"
  "CMakeFiles/kscapi_host.dir/host/demo_command.cpp.o"
  "CMakeFiles/kscapi_host.dir/host/demo_command.cpp.o.d"
  "CMakeFiles/kscapi_host.dir/host/module_commands.cpp.o"
  "CMakeFiles/kscapi_host.dir/host/module_commands.cpp.o.d"
  "CMakeFiles/kscapi_host.dir/host/reg_command.cpp.o"
  "CMakeFiles/kscapi_host.dir/host/reg_command.cpp.o.d"
  "CMakeFiles/kscapi_host.dir/host/reset.cpp.o"
  "CMakeFiles/kscapi_host.dir/host/reset.cpp.o.d"
  "CMakeFiles/kscapi_host.dir/host/script_runner.cpp.o"
  "CMakeFiles/kscapi_host.dir/host/script_runner.cpp.o.d"
  "CMakeFiles/kscapi_host.dir/host/store_command.cpp.o"
  "CMakeFiles/kscapi_host.dir/host/store_command.cpp.o.d"
  "libkscapi_host.a"
  "libkscapi_host.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/kscapi_host.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
