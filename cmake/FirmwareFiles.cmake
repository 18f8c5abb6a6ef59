# The drivers as a platform ships them: one FFS file each, with a stable file
# GUID, its file type and the dependency expression the DXE dispatcher or the
# SMM core orders it by. This table is the one place these are defined; the
# README gives the reason for every GUID in an expression.

# Protocols the expressions name.
set(BOARD_VARIABLE_ARCH 1E5668E2-8481-11D4-BCF1-0080C73C8881)
set(BOARD_VARIABLE_WRITE_ARCH 6441F818-6362-4E44-B570-7DBA31DD2453)
set(BOARD_PCD_PROTOCOL 11B34006-D85B-4D0A-A290-D5A571310EF7)
set(BOARD_EFI_PCD_PROTOCOL 13A3F0F6-264A-3EF0-F2E0-DEC512342F34)
set(BOARD_SMM_SX_DISPATCH2 456D2859-A84B-4E47-A2EE-3276D886997D)
set(BOARD_SMM_POWER_BUTTON_DISPATCH2 1B1183FA-1823-46A7-8872-9C578755409D)

set(BOARD_FFS_BoardInitDxe_GUID 9F89147A-69DF-45CF-8F31-ED4475398415)
set(BOARD_FFS_BoardInitDxe_TYPE driver)
set(BOARD_FFS_BoardInitDxe_DEPEX
    "${BOARD_VARIABLE_ARCH} AND ${BOARD_VARIABLE_WRITE_ARCH} AND ${BOARD_PCD_PROTOCOL} AND ${BOARD_EFI_PCD_PROTOCOL}")

set(BOARD_FFS_SignalTuneDxe_GUID DEA08D71-CB73-442B-946D-43B2ED96CAFA)
set(BOARD_FFS_SignalTuneDxe_TYPE driver)
set(BOARD_FFS_SignalTuneDxe_DEPEX "${BOARD_VARIABLE_ARCH} AND ${BOARD_PCD_PROTOCOL} AND ${BOARD_EFI_PCD_PROTOCOL}")

set(BOARD_FFS_SubsysIdDxe_GUID 3E0A3ECD-1DC0-4B29-B474-94EBF7D448DC)
set(BOARD_FFS_SubsysIdDxe_TYPE driver)
set(BOARD_FFS_SubsysIdDxe_DEPEX "${BOARD_PCD_PROTOCOL} AND ${BOARD_EFI_PCD_PROTOCOL}")

set(BOARD_FFS_SioPowerSmm_GUID EE0B24EE-A9DC-4FDE-B7CD-E2385F1F8499)
set(BOARD_FFS_SioPowerSmm_TYPE smm)
set(BOARD_FFS_SioPowerSmm_DEPEX "${BOARD_SMM_SX_DISPATCH2} AND ${BOARD_SMM_POWER_BUTTON_DISPATCH2}")

# The test platform around them on OVMF (test code, never shipped).
set(BOARD_FFS_TestPlatformDxe_GUID 83FDCCF3-89E4-44A9-B255-C62E9D9C7821)
set(BOARD_FFS_TestPlatformDxe_TYPE driver)
set(BOARD_FFS_TestPlatformDxe_DEPEX "TRUE")
set(BOARD_FFS_TestSmmDispatchers_GUID 58251DBC-62DD-4379-ABC1-D07785165C65)
set(BOARD_FFS_TestSmmDispatchers_TYPE smm)
set(BOARD_FFS_TestSmmDispatchers_DEPEX "TRUE")

# board_ffs(Name): <dir of Name.efi>/<Name>.ffs from the image, by the table above.
function(board_ffs Name)
  get_property(Image TARGET ${Name}.efi PROPERTY BOARD_IMAGE)
  get_filename_component(Dir "${Image}" DIRECTORY)
  set(Ffs "${Dir}/${Name}.ffs")
  add_custom_command(
    OUTPUT "${Ffs}"
    COMMAND fvtool ffs --pe "${Image}" --guid ${BOARD_FFS_${Name}_GUID} --type ${BOARD_FFS_${Name}_TYPE}
            --depex "${BOARD_FFS_${Name}_DEPEX}" --name ${Name} --version 1.0 -o "${Ffs}"
    DEPENDS fvtool ${Name}.efi "${Image}"
    COMMENT "Packing firmware file ${Name}.ffs")
  add_custom_target(${Name}.ffs ALL DEPENDS "${Ffs}")
  set_property(TARGET ${Name}.ffs PROPERTY BOARD_FFS "${Ffs}")
endfunction()
