# QuarnInstallRules.cmake: the install rules that work out what to install
# by themselves: every program target, every man page, and a pkg-config file
# that finds its prefix from where it lies.

# Sets out to every executable target that the build makes (not excluded
# from "all") in dir and the folders below it, however they were added.
function(quarn_programs out dir)
  set(programs "")
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(excluded ${target} EXCLUDE_FROM_ALL)
    if(type STREQUAL "EXECUTABLE" AND NOT excluded)
      list(APPEND programs ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    quarn_programs(below ${subdir})
    list(APPEND programs ${below})
  endforeach()
  set(${out} ${programs} PARENT_SCOPE)
endfunction()

# Installs every dir/*.1 as a gzip-compressed page of section 1 (part
# "tools"). A page added to dir later joins at the next build: the glob is
# checked again then, also while dir does not exist yet.
function(quarn_man_pages dir)
  file(GLOB pages CONFIGURE_DEPENDS ${dir}/*.1)
  set(compressed "")
  foreach(page IN LISTS pages)
    get_filename_component(name ${page} NAME)
    set(copy ${CMAKE_CURRENT_BINARY_DIR}/man/${name})
    # -n leaves the name and time out of the gzip header: the same page
    # always compresses to the same bytes.
    add_custom_command(OUTPUT ${copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${page} ${copy}
      COMMAND gzip -9nf ${copy}
      DEPENDS ${page}
      COMMENT "Compressing man page ${name}"
      VERBATIM)
    list(APPEND compressed ${copy}.gz)
  endforeach()
  if(compressed)
    add_custom_target(quarn_man_pages ALL DEPENDS ${compressed})
    install(FILES ${compressed}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT tools)
  endif()
endfunction()

# Writes output from the pkg-config template TEMPLATE. Its prefix is
# ${pcfiledir} and as many ".." as the file lies below the prefix, so the
# file stays right for any install prefix, for DESTDIR installs and for a
# tree moved after installing; only an absolute CMAKE_INSTALL_LIBDIR fixes
# the prefix given at configure time. LIBS_PRIVATE are library names (given
# -l) or paths for Libs.private, what a static link adds.
function(quarn_pkg_config_file output)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TEMPLATE" "LIBS_PRIVATE")
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(QUARN_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(QUARN_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
  else()
    file(RELATIVE_PATH up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
    string(REGEX REPLACE "/+$" "" up "${up}")
    set(QUARN_PC_PREFIX "\${pcfiledir}/${up}")
    set(QUARN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  endif()
  if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(QUARN_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
  else()
    set(QUARN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
  set(flags "")
  foreach(lib IN LISTS arg_LIBS_PRIVATE)
    if(IS_ABSOLUTE "${lib}" OR lib MATCHES "^-")
      list(APPEND flags "${lib}")
    else()
      list(APPEND flags "-l${lib}")
    endif()
  endforeach()
  list(JOIN flags " " QUARN_PC_LIBS_PRIVATE)
  configure_file(${arg_TEMPLATE} ${output} @ONLY)
endfunction()
