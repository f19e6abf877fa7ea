# The parts a configure may leave out, and the summary that says which and
# why.
#
# A part that needs libraries of its own (the gateway, the benchmarks) has a
# three-way option: AUTO, the default, decides again at every configure, so
# that libraries installed since the last one are picked up by the next
# build; ON insists (configuring stops and says what to install); OFF leaves
# it out.

# The file a package install changes (Debian's); a part left out for want
# of a library is looked for again at the first build after it changes.
set(QOR_PACKAGE_DATABASE /var/lib/dpkg/status CACHE FILEPATH
    "The package database whose changes make a build configure again while a part is left out")
mark_as_advanced(QOR_PACKAGE_DATABASE)

# Declares the option NAME (AUTO, ON or OFF). OLD_HELP is the help text of
# the plain ON/OFF option it replaces: a tree configured before keeps a
# value that its first configure found, not one a user chose, so it is
# taken as AUTO once.
function(qor_auto_option name help old_help)
  if(DEFINED CACHE{${name}})
    get_property(doc CACHE ${name} PROPERTY HELPSTRING)
    get_property(type CACHE ${name} PROPERTY TYPE)
    if(type STREQUAL "BOOL" AND doc STREQUAL old_help)
      set(${name} AUTO CACHE STRING "${help}" FORCE)
    endif()
  endif()
  set(${name} AUTO CACHE STRING "${help}")
  set_property(CACHE ${name} PROPERTY STRINGS AUTO ON OFF)
endfunction()

# Sets RESULT to whether the part of option NAME is built: where FOUND says
# so under AUTO, always under ON (an error, naming MISSING and how to
# install it, when not found), never under OFF. The reason it is left out
# goes to the summary as SUMMARY_NAME's line.
function(qor_decide_part name summary_name found missing install result)
  string(TOUPPER "${${name}}" value)
  if(value STREQUAL "AUTO")
    set(build ${found})
    set(why "not found: ${missing}. To build it, ${install}")
    # Installing packages changes the package database: the next build then
    # configures again, and finds them.
    if(NOT found AND EXISTS "${QOR_PACKAGE_DATABASE}")
      set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                   "${QOR_PACKAGE_DATABASE}")
      string(APPEND why ", and build again")
    else()
      string(APPEND why ", then configure again")
    endif()
  elseif(${name})
    if(NOT found)
      message(FATAL_ERROR "${name} is ON, but ${missing} was not found. ${install}, or "
                          "configure with -D${name}=AUTO (built where found) or OFF.")
    endif()
    set(build ON)
  else()
    set(build OFF)
    set(why "${name}=${${name}}")
  endif()
  if(build)
    qor_summary("${summary_name}" "yes")
  else()
    qor_summary("${summary_name}" "no: ${why}")
  endif()
  set(${result} ${build} PARENT_SCOPE)
endfunction()

# One line of the summary: what, and "yes" or "no: why" (no ";" in either).
function(qor_summary what verdict)
  set_property(GLOBAL APPEND PROPERTY QOR_SUMMARY "${what}|${verdict}")
endfunction()

# The Debian packages of a set of scripts/setup.sh that are not installed
# (the one list of what each part needs), as text for a message; "" where
# there is no bash or nothing it knows is missing.
function(qor_missing_packages set result)
  set(${result} "" PARENT_SCOPE)
  find_program(QOR_BASH_FOR_SETUP bash)
  mark_as_advanced(QOR_BASH_FOR_SETUP)
  if(QOR_BASH_FOR_SETUP)
    execute_process(COMMAND ${QOR_BASH_FOR_SETUP} ${PROJECT_SOURCE_DIR}/scripts/setup.sh ${set}
                            --missing
                    OUTPUT_VARIABLE packages OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed)
      set(${result} "${packages}" PARENT_SCOPE)
    endif()
  endif()
endfunction()

# The install advice for a set of scripts/setup.sh: the missing packages
# by name, and the script that installs them.
function(qor_install_advice set result)
  qor_missing_packages(${set} packages)
  if(packages)
    set(${result} "install what is missing with: apt-get install ${packages} (or: scripts/setup.sh "
        "${set})" PARENT_SCOPE)
  else()
    set(${result} "install their development packages (Debian: scripts/setup.sh ${set})"
        PARENT_SCOPE)
  endif()
endfunction()

# Prints the summary, one line per part.
function(qor_print_summary)
  get_property(lines GLOBAL PROPERTY QOR_SUMMARY)
  message(STATUS "qor: what this configure builds in ${PROJECT_BINARY_DIR}")
  foreach(line IN LISTS lines)
    string(FIND "${line}" "|" bar)
    string(SUBSTRING "${line}" 0 ${bar} what)
    math(EXPR rest "${bar} + 1")
    string(SUBSTRING "${line}" ${rest} -1 verdict)
    string(LENGTH "${what}" length)
    math(EXPR pad "34 - ${length}")
    string(REPEAT " " ${pad} spaces)
    message(STATUS "qor:   ${what}${spaces}${verdict}")
  endforeach()
endfunction()
