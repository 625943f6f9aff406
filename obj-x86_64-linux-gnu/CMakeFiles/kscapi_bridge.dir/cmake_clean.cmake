file(REMOVE_RECURSE
  "CMakeFiles/kscapi_bridge.dir/host/bridge/bridge_command.cpp.o"
  "CMakeFiles/kscapi_bridge.dir/host/bridge/bridge_command.cpp.o.d"
  "CMakeFiles/kscapi_bridge.dir/host/bridge/bridge_session.cpp.o"
  "CMakeFiles/kscapi_bridge.dir/host/bridge/bridge_session.cpp.o.d"
  "CMakeFiles/kscapi_bridge.dir/host/bridge/native_messaging.cpp.o"
  "CMakeFiles/kscapi_bridge.dir/host/bridge/native_messaging.cpp.o.d"
  "CMakeFiles/kscapi_bridge.dir/host/bridge/origin_policy.cpp.o"
  "CMakeFiles/kscapi_bridge.dir/host/bridge/origin_policy.cpp.o.d"
  "CMakeFiles/kscapi_bridge.dir/host/doctor.cpp.o"
  "CMakeFiles/kscapi_bridge.dir/host/doctor.cpp.o.d"
  "libkscapi_bridge.a"
  "libkscapi_bridge.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/kscapi_bridge.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
