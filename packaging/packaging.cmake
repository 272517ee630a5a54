# Install rules and the Debian package, included by the top CMakeLists.txt
# after watch-region's folder, which installs the tool.

# The manual pages carry the version; they and the change log are installed
# compressed, where Debian expects them.
find_program(GZIP gzip REQUIRED)
set(compressed_dir "${PROJECT_BINARY_DIR}/compressed")
set(compressed_pages)
foreach(program IN LISTS programs)
  configure_file(man/${program}.1.in man/${program}.1 @ONLY)
endforeach()
foreach(page IN LISTS programs ITEMS watch-region)
  list(APPEND compressed_pages "${compressed_dir}/${page}.1.gz")
endforeach()
set(compressed_changelog "${compressed_dir}/changelog.gz")
foreach(compressed IN LISTS compressed_pages compressed_changelog)
  get_filename_component(name "${compressed}" NAME_WLE)
  if(name STREQUAL "changelog")
    set(source "${PROJECT_SOURCE_DIR}/packaging/changelog")
  else()
    set(source "${PROJECT_BINARY_DIR}/man/${name}")
  endif()
  add_custom_command(OUTPUT "${compressed}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${source}" "${compressed_dir}/${name}"
    COMMAND "${GZIP}" -9nf "${compressed_dir}/${name}"
    DEPENDS "${source}"
    VERBATIM)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed_pages} ${compressed_changelog})

# An install copies nothing unless everything it installs has been built, so
# that it is never left half done.
set(built_files ${compressed_pages} ${compressed_changelog})
foreach(program IN LISTS programs ITEMS region_tracer ${tracer_mpich})
  list(APPEND built_files "$<TARGET_FILE:${program}>")
endforeach()
install(CODE "
  foreach(file IN ITEMS ${built_files})
    if(NOT EXISTS \"\${file}\")
      message(FATAL_ERROR \"\${file} is not built yet: build the project, then install\")
    endif()
  endforeach()")
install(TARGETS ${programs})
install(FILES ${compressed_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES ${compressed_changelog} DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(FILES LICENSE DESTINATION "${CMAKE_INSTALL_DOCDIR}" RENAME copyright)

# A Debian package of the installed files: cmake --workflow --preset package
# writes it to build/default/package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fork-join)
set(CPACK_PACKAGE_CONTACT "The fork-join authors <fork-join@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "programs that show OpenMP's fork-join model")
set(CPACK_PACKAGE_DESCRIPTION "\
Two small command-line programs that put the fork-join model of
shared-memory parallelism to work through the OpenMP runtime.
parallel_sum adds up the integers 1 to 100 in one parallel region, each
thread summing one block of the static split and adding its partial to the
total with one atomic addition. parallel_hello has every thread of one team
print its number and the size of its team.

watch-region runs any OpenMP program once and shows what every thread of
its parallel region did: under gdb, the launch, each thread's questions to
the runtime, its runs of the body and its atomic additions; or, with
--timeline and a preloaded tracer, when each thread was created, started,
ran the body and was joined, as a chart, a Trace Event file or a picture.")
# The libraries' packages come from the programs and the tracer; the tool is
# Python, its default mode needs gdb and its pictures gnuplot.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gdb, gnuplot-nox, python3-otf2")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/package")
include(CPack)
