# Manual pages: qor(1) and qor-sim(1) for the tools, qor_dll(3) for the
# libraries, and for each function of the public headers a page link
# (QOR_RD(3) and so on) that leads to qor_dll(3), so that `man QOR_RD` works.
# The pages get the project's version, and are compressed as Debian ships
# them when gzip is there (it always is on Debian). Made when CMake
# configures: QOR_MAN_DIR holds man1/ and man3/ as they are installed, and
# QOR_MAN_FUNCTIONS names the functions that have a link.
set(QOR_MAN_DIR ${PROJECT_BINARY_DIR}/man)
find_program(QOR_GZIP gzip)
mark_as_advanced(QOR_GZIP)
if(QOR_GZIP)
  set(qor_man_suffix .gz)
else()
  set(qor_man_suffix "")
endif()

function(qor_make_page page section)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
  set(plain ${PROJECT_BINARY_DIR}/man-plain/${page})
  configure_file(${source} ${plain} @ONLY)
  set(target ${QOR_MAN_DIR}/man${section}/${page}${qor_man_suffix})
  file(MAKE_DIRECTORY ${QOR_MAN_DIR}/man${section})
  if(QOR_GZIP)
    # -n: no name or time stamp in the header, so the same page gives the
    # same bytes on every build.
    execute_process(COMMAND ${QOR_GZIP} -9nc ${plain} OUTPUT_FILE ${target}
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${plain}")
    endif()
  else()
    file(COPY_FILE ${plain} ${target})
  endif()
endfunction()

qor_make_page(qor.1 1)
qor_make_page(qor-sim.1 1)
qor_make_page(qor_dll.3 3)
if(TARGET qor-gateway)
  qor_make_page(qor-gateway.1 1)
endif()

# The functions are read from the headers, so a function added there gets
# its link without a list to keep up.
set(QOR_MAN_FUNCTIONS "")
foreach(header qor_dll.h qor_comm.h)
  set(path ${PROJECT_SOURCE_DIR}/include/${header})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
  file(STRINGS ${path} declarations REGEX "^QOR_(COMM_)?API .*[ *]QOR_[A-Za-z0-9_]+\\(")
  foreach(declaration IN LISTS declarations)
    string(REGEX MATCH "QOR_[A-Za-z0-9_]+\\(" name "${declaration}")
    string(REPLACE "(" "" name "${name}")
    list(APPEND QOR_MAN_FUNCTIONS ${name})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES QOR_MAN_FUNCTIONS)
set(qor_man_links "")
foreach(name IN LISTS QOR_MAN_FUNCTIONS)
  set(link ${QOR_MAN_DIR}/man3/${name}.3${qor_man_suffix})
  file(CREATE_LINK qor_dll.3${qor_man_suffix} ${link} SYMBOLIC)
  list(APPEND qor_man_links ${link})
endforeach()

install(FILES
  ${QOR_MAN_DIR}/man1/qor.1${qor_man_suffix} ${QOR_MAN_DIR}/man1/qor-sim.1${qor_man_suffix}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
if(TARGET qor-gateway)
  install(FILES ${QOR_MAN_DIR}/man1/qor-gateway.1${qor_man_suffix}
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gateway)
endif()
install(FILES ${QOR_MAN_DIR}/man3/qor_dll.3${qor_man_suffix} ${qor_man_links}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
