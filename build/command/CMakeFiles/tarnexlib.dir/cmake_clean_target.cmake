file(REMOVE_RECURSE
  "libtarnexlib.a"
)
