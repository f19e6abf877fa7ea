# The manual pages render without a warning and keep up with what they
# describe: every function of the public headers is in qor_dll(3), every
# command and option of `qor --help` in qor(1), every option of
# `qor-sim --help` in qor-sim(1), and every option of `qor-gateway --help`
# in qor-gateway(1) when the gateway is built (QOR_GATEWAY set).
#
# cmake -DMAN_DIR=... -DHEADERS=a.h,b.h -DQOR=... -DQOR_SIM=... [-DQOR_GATEWAY=...]
#       -P man_check.cmake
set(failures "")

find_program(GROFF groff)
if(NOT GROFF)
  message(FATAL_ERROR "groff is not installed (package groff-base)")
endif()
set(pages qor.1 qor-sim.1 qor_dll.3)
if(QOR_GATEWAY)
  list(APPEND pages qor-gateway.1)
endif()
foreach(page IN LISTS pages)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${GROFF} -man -Tutf8 -ww -z ${MAN_DIR}/${page}
    RESULT_VARIABLE rc ERROR_VARIABLE warnings OUTPUT_QUIET)
  if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
    list(APPEND failures "${page} does not render cleanly:\n${warnings}")
  endif()
endforeach()

# Man source writes a hyphen as "\-"; compare on the plain text.
function(read_page page out)
  file(READ ${MAN_DIR}/${page} text)
  string(REPLACE "\\-" "-" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

read_page(qor_dll.3 library_page)
string(REPLACE "," ";" HEADERS "${HEADERS}")
# The functions as the export list reads them (which fails on a declaration
# it cannot read).
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ExportList.cmake)
foreach(header IN LISTS HEADERS)
  qor_header_functions(${header} names)
  foreach(name IN LISTS names)
    if(NOT library_page MATCHES "\n\\.BI? \"[a-z ]+${name}\\(")
      list(APPEND failures "qor_dll.3 has no synopsis line for ${name}")
    endif()
    # A tagged paragraph whose tag names the function.
    if(NOT library_page MATCHES "\\.TP\n\\.B[IR]? [^\n]*${name}[ (\"]")
      list(APPEND failures "qor_dll.3 does not describe ${name}")
    endif()
  endforeach()
endforeach()
# What a --help lists must appear in the page: the first word of each line
# in its command sections, and every option named at the start of a line in
# its option sections; at least `minimum` of them (5 unless given).
function(check_help program page)
  set(minimum 5)
  if(ARGC GREATER 2)
    set(minimum ${ARGV2})
  endif()
  if(NOT EXISTS "${program}")
    set(failures "${failures};${program} is missing" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND ${program} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(failures "${failures};${program} --help exited with ${rc}" PARENT_SCOPE)
    return()
  endif()
  read_page(${page} text)
  string(REPLACE ";" "," help "${help}")
  string(REPLACE "\n" ";" lines "${help}")
  set(section "")
  set(items "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Z][^:]*):")
      set(section "${CMAKE_MATCH_1}")
    elseif(section MATCHES "^(Commands|Tools)" AND line MATCHES "^  ([a-z]+) ")
      list(APPEND items "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^  (-[a-z], )?(--[a-z][a-z-]*)")
      list(APPEND items "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(missing "")
  foreach(item IN LISTS items)
    # Commands stand as bold words of their own; options anywhere.
    if(item MATCHES "^--")
      string(FIND "${text}" "${item}" at)
    else()
      string(REGEX MATCH "\n\\.BR? ${item}( |\n)|\n\\.BI \"?${item} " found "${text}")
      set(at -1)
      if(found)
        set(at 0)
      endif()
    endif()
    if(at EQUAL -1)
      list(APPEND missing "${item}")
    endif()
  endforeach()
  list(LENGTH items count)
  if(count LESS minimum)
    set(failures "${failures};${program} --help lists only: ${items}" PARENT_SCOPE)
  elseif(missing)
    set(failures "${failures};${page} lacks: ${missing}" PARENT_SCOPE)
  endif()
endfunction()

check_help(${QOR} qor.1)
check_help(${QOR_SIM} qor-sim.1)
if(QOR_GATEWAY)
  check_help(${QOR_GATEWAY} qor-gateway.1 4)
endif()

list(FILTER failures EXCLUDE REGEX "^$")
if(failures)
  string(REPLACE ";" "\n" failures "${failures}")
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "manual pages: clean and complete")
