# Adds public properties to an MSI's SecureCustomProperties, so that an elevated
# (managed) install passes them from its client side to its server side. wixl writes
# that list from the Upgrade table alone and has no way to add to it.
#   cmake -D MSI=<package.msi> -D PROPERTIES=<A;B> -P secure_properties.cmake
# Needs msiinfo and msibuild (Debian's msitools).
foreach(tool msiinfo msibuild)
  find_program(${tool}_program ${tool} REQUIRED)
endforeach()
execute_process(COMMAND ${msiinfo_program} export ${MSI} Property
                OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
set(secure ${PROPERTIES})
if(table MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  list(APPEND secure ${CMAKE_MATCH_1})
  set(query "UPDATE `Property` SET `Value` = '@value@' WHERE `Property` = 'SecureCustomProperties'")
else()
  set(query "INSERT INTO `Property` (`Property`, `Value`) VALUES ('SecureCustomProperties', '@value@')")
endif()
list(REMOVE_DUPLICATES secure)
string(REPLACE "@value@" "${secure}" query "${query}")
execute_process(COMMAND ${msibuild_program} ${MSI} -q "${query}" COMMAND_ERROR_IS_FATAL ANY)
