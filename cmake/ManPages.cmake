# Manual pages, written in scdoc (Debian scdoc) and rendered at build time.
#
#   qax_man_page(packaging/man/NAME.SECTION.scd)
#
# substitutes @VARIABLES@ in the source (configure_file @ONLY: versions and
# installed paths), renders BUILD/man/NAME.SECTION with scdoc, compresses it
# (gzip -9n, as Debian installs manual pages) and installs the compressed page
# in ${CMAKE_INSTALL_MANDIR}/manSECTION. The rendered pages are what
# `mandoc -T lint` checks (scripts/package-check). Without scdoc the pages
# are skipped, with a note (QAX_MANPAGES=OFF skips them quietly).
include_guard(GLOBAL)
option(QAX_MANPAGES "Render and install the manual pages (needs scdoc)" ON)
find_program(QAX_SCDOC scdoc)
find_program(QAX_GZIP gzip)
if(QAX_MANPAGES AND NOT (QAX_SCDOC AND QAX_GZIP))
  message(STATUS "scdoc or gzip not found: the manual pages are not built (apt-get install scdoc)")
endif()
# The date in the pages' footer: the newest commit's (reproducible), else now.
if(NOT DEFINED QAX_SOURCE_DATE_EPOCH)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(QAX_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
  else()
    execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE QAX_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
  if(NOT QAX_SOURCE_DATE_EPOCH)
    string(TIMESTAMP QAX_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
if(NOT TARGET qax_man_pages)
  add_custom_target(qax_man_pages ALL)
endif()

function(qax_man_page source)
  if(NOT (QAX_MANPAGES AND QAX_SCDOC AND QAX_GZIP))
    return()
  endif()
  get_filename_component(_file ${source} NAME)
  string(REGEX REPLACE "\\.scd$" "" _page ${_file})
  string(REGEX MATCH "[0-9]$" _section ${_page})
  if(NOT _section)
    message(FATAL_ERROR "${source}: the name must end in .SECTION.scd")
  endif()
  set(_in ${CMAKE_BINARY_DIR}/man/${_file})
  set(_out ${CMAKE_BINARY_DIR}/man/${_page})
  configure_file(${CMAKE_SOURCE_DIR}/${source} ${_in} @ONLY)
  add_custom_command(OUTPUT ${_out} ${_out}.gz
    COMMAND sh -c "SOURCE_DATE_EPOCH=${QAX_SOURCE_DATE_EPOCH} '${QAX_SCDOC}' < '${_in}' > '${_out}.tmp' && mv '${_out}.tmp' '${_out}' && '${QAX_GZIP}' -9nc '${_out}' > '${_out}.gz'"
    DEPENDS ${_in} ${CMAKE_SOURCE_DIR}/${source}
    COMMENT "Rendering the manual page ${_page}"
    VERBATIM)
  string(MAKE_C_IDENTIFIER "qax_man_${_page}" _target)
  add_custom_target(${_target} DEPENDS ${_out} ${_out}.gz)
  add_dependencies(qax_man_pages ${_target})
  install(FILES ${_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
endfunction()
