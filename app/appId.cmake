# The application ID: the site's host name reversed, then the program's name, as the
# freedesktop and AppStream conventions name a program (www.vizzolen.com -> com.vizzolen.Vizzolen).
# A leading "www." and a port are dropped and the host is lower-cased; hyphens become
# underscores and a part that starts with a digit gets a leading underscore, as D-Bus names
# are made from domain names. A host that names no domain (an IP address, a single name
# such as localhost, as for a local update server) cannot give an ID that AppStream accepts: the
# program keeps the default site's. What is no host name at all (an empty part, as in "a..b")
# stops the configuration.
#
#   include(app/appId.cmake)
#   vizzolen_app_id("${VIZZOLEN_SITE_HOST}" VIZZOLEN_APP_ID)
#
# Also runs as a script, printing the ID (or failing as the configuration would):
#   cmake -DHOST=www.example.org -P app/appId.cmake

# The maker's site, the default of VIZZOLEN_SITE_HOST.
set(VIZZOLEN_DEFAULT_SITE_HOST "www.vizzolen.com")

function(vizzolen_app_id host out)
    string(REGEX REPLACE ":[0-9]*$" "" name "${host}")
    string(TOLOWER "${name}" name)
    string(REGEX REPLACE "\\.$" "" name "${name}") # the root of an absolute name
    string(REGEX REPLACE "^www\\." "" name "${name}")
    if(NOT name MATCHES "^[a-z0-9-]+(\\.[a-z0-9-]+)*$")
        message(FATAL_ERROR "VIZZOLEN_SITE_HOST '${host}' is not a host name, so no application ID can be made from it")
    endif()
    if(NOT name MATCHES "\\.[a-z][a-z0-9-]*$")
        if(host STREQUAL VIZZOLEN_DEFAULT_SITE_HOST)
            message(FATAL_ERROR "the default site host '${host}' names no domain")
        endif()
        vizzolen_app_id("${VIZZOLEN_DEFAULT_SITE_HOST}" id)
        message(NOTICE "VIZZOLEN_SITE_HOST '${host}' names no domain: the application ID stays ${id}")
        set(${out} "${id}" PARENT_SCOPE)
        return()
    endif()
    string(REPLACE "-" "_" name "${name}")
    string(REPLACE "." ";" parts "${name}")
    list(REVERSE parts)
    set(id "")
    foreach(part IN LISTS parts)
        if(part MATCHES "^[0-9]")
            string(PREPEND part "_")
        endif()
        string(APPEND id "${part}.")
    endforeach()
    # The last part is the program's name as Qt's application name gives it.
    string(APPEND id "Vizzolen")
    string(LENGTH "${id}" length)
    if(length GREATER 255)
        message(FATAL_ERROR "VIZZOLEN_SITE_HOST '${host}' is too long: the application ID made from it would exceed 255 characters")
    endif()
    set(${out} "${id}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    vizzolen_app_id("${HOST}" id)
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${id}")
endif()
