# Run by CPack once it has staged the release files, before it packs the
# ZIP: builds the Windows Installer package from the very same files.
execute_process(
  COMMAND ${CPACK_ZARVO_MSI_COMMAND} ${CPACK_ZARVO_MSI_OUTPUT} ${CPACK_ZARVO_MSI_ARGS}
          ${CPACK_TEMPORARY_INSTALL_DIRECTORY} ${CPACK_ZARVO_MSI_IDENTITY}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building ${CPACK_ZARVO_MSI_OUTPUT} failed (${result})")
endif()
