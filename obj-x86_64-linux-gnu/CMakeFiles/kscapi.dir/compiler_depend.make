# Empty compiler generated dependencies file for kscapi.
# This may be replaced when dependencies are built.
