
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/wt/package/host/bridge/bridge_command.cpp" "CMakeFiles/kscapi_bridge.dir/host/bridge/bridge_command.cpp.o" "gcc" "CMakeFiles/kscapi_bridge.dir/host/bridge/bridge_command.cpp.o.d"
  "/work/wt/package/host/bridge/bridge_session.cpp" "CMakeFiles/kscapi_bridge.dir/host/bridge/bridge_session.cpp.o" "gcc" "CMakeFiles/kscapi_bridge.dir/host/bridge/bridge_session.cpp.o.d"
  "/work/wt/package/host/bridge/native_messaging.cpp" "CMakeFiles/kscapi_bridge.dir/host/bridge/native_messaging.cpp.o" "gcc" "CMakeFiles/kscapi_bridge.dir/host/bridge/native_messaging.cpp.o.d"
  "/work/wt/package/host/bridge/origin_policy.cpp" "CMakeFiles/kscapi_bridge.dir/host/bridge/origin_policy.cpp.o" "gcc" "CMakeFiles/kscapi_bridge.dir/host/bridge/origin_policy.cpp.o.d"
  "/work/wt/package/host/doctor.cpp" "CMakeFiles/kscapi_bridge.dir/host/doctor.cpp.o" "gcc" "CMakeFiles/kscapi_bridge.dir/host/doctor.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/wt/package/obj-x86_64-linux-gnu/CMakeFiles/kscapi_host.dir/DependInfo.cmake"
  "/work/wt/package/obj-x86_64-linux-gnu/CMakeFiles/engine.dir/DependInfo.cmake"
  "/work/wt/package/obj-x86_64-linux-gnu/CMakeFiles/platform.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
