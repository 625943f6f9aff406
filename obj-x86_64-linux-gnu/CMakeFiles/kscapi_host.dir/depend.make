# Empty dependencies file for kscapi_host.
# This may be replaced when dependencies are built.
