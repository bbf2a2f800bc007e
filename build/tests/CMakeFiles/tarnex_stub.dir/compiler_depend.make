# Empty compiler generated dependencies file for tarnex_stub.
# This may be replaced when dependencies are built.
