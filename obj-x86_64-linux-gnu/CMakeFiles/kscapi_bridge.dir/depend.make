# Empty dependencies file for kscapi_bridge.
# This may be replaced when dependencies are built.
