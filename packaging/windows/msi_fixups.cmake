# What wixl 0.101 cannot write into an MSI, added with msibuild (Debian's msitools):
#   SECURE     public properties to add to SecureCustomProperties, so that an elevated
#              (managed) install passes them from its client side to its server side
#              (wixl writes that list from the Upgrade table alone);
#   ROLLBACK   custom actions to make rollback actions: wixl takes Execute="rollback"
#              for an immediate action, which would run at once instead of on failure.
#   cmake -D MSI=<package.msi> -D SECURE=<A;B> -D ROLLBACK=<Action;...> -P msi_fixups.cmake
foreach(tool msiinfo msibuild)
  find_program(${tool}_program ${tool} REQUIRED)
endforeach()
function(export_table name out)
  execute_process(COMMAND ${msiinfo_program} export ${MSI} ${name}
                  OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
  set(${out} "${table}" PARENT_SCOPE)
endfunction()
function(query text)
  execute_process(COMMAND ${msibuild_program} ${MSI} -q "${text}" COMMAND_ERROR_IS_FATAL ANY)
endfunction()

export_table(Property table)
set(secure ${SECURE})
if(table MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  list(APPEND secure ${CMAKE_MATCH_1})
  list(REMOVE_DUPLICATES secure)
  query("UPDATE `Property` SET `Value` = '${secure}' WHERE `Property` = 'SecureCustomProperties'")
else()
  query("INSERT INTO `Property` (`Property`, `Value`) VALUES ('SecureCustomProperties', '${secure}')")
endif()

export_table(CustomAction table)
foreach(action IN LISTS ROLLBACK)
  if(NOT table MATCHES "\n${action}\t([0-9]+)\t")
    message(FATAL_ERROR "${MSI} has no custom action ${action}")
  endif()
  # msidbCustomActionTypeInScript (0x400) | msidbCustomActionTypeRollback (0x100)
  math(EXPR type "${CMAKE_MATCH_1} | 0x400 | 0x100")
  query("UPDATE `CustomAction` SET `Type` = ${type} WHERE `Action` = '${action}'")
endforeach()
