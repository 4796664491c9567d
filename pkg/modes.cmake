# Run by cpack on the staged files before it packs them. cmake makes the
# folders with mkdir, under the umask of whoever packages: a 077 would ship
# /usr/lib/cgi-bin as 0700, which shuts www-data out of the gateway wherever
# the package is the one to create that folder.
execute_process(COMMAND find ${CPACK_TEMPORARY_DIRECTORY} -type d -exec chmod 0755 {} +
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not set the packaged folders' modes")
endif()
