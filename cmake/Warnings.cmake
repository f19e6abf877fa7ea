# The compiler warnings of every target the project builds, held by one
# INTERFACE target, qor_warnings. Warnings are always reported; only a build
# that asks for it (QOR_WERROR) fails on them, so that a newer compiler's
# new warning does not break a user's build.
#
# qor_apply_warnings() at the end of the top-level CMakeLists.txt links it
# into every target built here, in every folder, so that a new target gets
# the warnings without asking.
add_library(qor_warnings INTERFACE)
target_compile_options(qor_warnings INTERFACE -Wall -Wextra $<$<BOOL:${QOR_WERROR}>:-Werror>)

function(qor_apply_warnings folder)
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|STATIC_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      # Built here only: the warnings are not part of what the installed
      # targets ask of their users.
      target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:qor_warnings>)
    endif()
  endforeach()
  get_property(subfolders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
  foreach(subfolder IN LISTS subfolders)
    qor_apply_warnings(${subfolder})
  endforeach()
endfunction()
