# Empty compiler generated dependencies file for kscapi-bridge.
# This may be replaced when dependencies are built.
