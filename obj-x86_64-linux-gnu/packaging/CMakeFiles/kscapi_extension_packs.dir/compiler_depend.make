# Empty custom commands generated dependencies file for kscapi_extension_packs.
# This may be replaced when dependencies are built.
