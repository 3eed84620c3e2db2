# make-update: the publisher's one-command update builder (a script). Copied
# next to upq and qbdiff in the build tree, where it finds them.
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/make-update ${CMAKE_CURRENT_BINARY_DIR}/make-update
               COPYONLY)
