# ferrolux_nanopb(TARGET <target> PROTOS <a.proto>...)
# Generates <name>.pb.c/.pb.h with nanopb's generator at build time (an
# <name>.options file beside a .proto is picked up) and adds them to the
# target. Generated code lands in the build tree and is never edited.
find_program(NANOPB_GENERATOR nanopb_generator.py REQUIRED)

function(ferrolux_nanopb)
  cmake_parse_arguments(ARG "" "TARGET" "PROTOS" ${ARGN})
  set(outdir ${CMAKE_CURRENT_BINARY_DIR}/nanopb)
  file(MAKE_DIRECTORY ${outdir})
  foreach(proto ${ARG_PROTOS})
    get_filename_component(abs ${proto} ABSOLUTE)
    get_filename_component(dir ${abs} DIRECTORY)
    get_filename_component(name ${abs} NAME_WE)
    set(deps ${abs})
    if(EXISTS ${dir}/${name}.options)
      list(APPEND deps ${dir}/${name}.options)
    endif()
    add_custom_command(
      OUTPUT ${outdir}/${name}.pb.c ${outdir}/${name}.pb.h
      COMMAND ${NANOPB_GENERATOR} -q -I ${dir} -D ${outdir} ${abs}
      DEPENDS ${deps}
      COMMENT "nanopb: ${name}.proto"
      VERBATIM)
    target_sources(${ARG_TARGET} PRIVATE ${outdir}/${name}.pb.c)
  endforeach()
  target_include_directories(${ARG_TARGET} PUBLIC ${outdir})
endfunction()
