
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/wt/package/host/arguments.cpp" "CMakeFiles/kscapi_host.dir/host/arguments.cpp.o" "gcc" "CMakeFiles/kscapi_host.dir/host/arguments.cpp.o.d"
  "/work/wt/package/host/demo_ca.cpp" "CMakeFiles/kscapi_host.dir/host/demo_ca.cpp.o" "gcc" "CMakeFiles/kscapi_host.dir/host/demo_ca.cpp.o.d"
  "/work/wt/package/host/demo_command.cpp" "CMakeFiles/kscapi_host.dir/host/demo_command.cpp.o" "gcc" "CMakeFiles/kscapi_host.dir/host/demo_command.cpp.o.d"
  "/work/wt/package/host/module_commands.cpp" "CMakeFiles/kscapi_host.dir/host/module_commands.cpp.o" "gcc" "CMakeFiles/kscapi_host.dir/host/module_commands.cpp.o.d"
  "/work/wt/package/host/reg_command.cpp" "CMakeFiles/kscapi_host.dir/host/reg_command.cpp.o" "gcc" "CMakeFiles/kscapi_host.dir/host/reg_command.cpp.o.d"
  "/work/wt/package/host/reset.cpp" "CMakeFiles/kscapi_host.dir/host/reset.cpp.o" "gcc" "CMakeFiles/kscapi_host.dir/host/reset.cpp.o.d"
  "/work/wt/package/host/script_runner.cpp" "CMakeFiles/kscapi_host.dir/host/script_runner.cpp.o" "gcc" "CMakeFiles/kscapi_host.dir/host/script_runner.cpp.o.d"
  "/work/wt/package/host/store_command.cpp" "CMakeFiles/kscapi_host.dir/host/store_command.cpp.o" "gcc" "CMakeFiles/kscapi_host.dir/host/store_command.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/wt/package/obj-x86_64-linux-gnu/CMakeFiles/engine.dir/DependInfo.cmake"
  "/work/wt/package/obj-x86_64-linux-gnu/CMakeFiles/platform.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
