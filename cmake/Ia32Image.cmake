# Builds freestanding IA-32 PE32 images with clang and lld-link, independent of
# the host compiler the rest of the project uses.
#
#   add_ia32_objects(<name> SOURCES <files...> [INCLUDES <dirs...>])
#     compiles the sources; ${<name>_OBJECTS} lists the objects.
#   add_ia32_image(<name> OBJECTS <objs...> ENTRY <symbol> BASE <address>
#                  OUTPUT <file.efi> [KEEP_ALL])
#     links a PE32 (EFI boot-service driver) with a map beside it. KEEP_ALL
#     keeps every routine of every object (no dead-stripping, no folding), for
#     images that tests call into by symbol.

find_program(IA32_CLANG NAMES clang-14 clang REQUIRED)
find_program(IA32_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)

set(IA32_CXX_FLAGS
    --target=i686-pc-windows-msvc
    -std=c++20 -ffreestanding -nostdinc
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -fno-threadsafe-statics -fno-builtin
    -mno-sse -mno-sse2 -mno-mmx -mno-3dnow -mno-80387
    -Os -Wall -Wextra -Werror
    -fdebug-prefix-map=${CMAKE_SOURCE_DIR}=. -fmacro-prefix-map=${CMAKE_SOURCE_DIR}=.)

function(add_ia32_objects name)
  cmake_parse_arguments(ARG "" "" "SOURCES;INCLUDES" ${ARGN})
  set(objects)
  set(include_flags)
  foreach(dir IN LISTS ARG_INCLUDES)
    list(APPEND include_flags -I${dir})
  endforeach()
  foreach(src IN LISTS ARG_SOURCES)
    get_filename_component(abs ${src} ABSOLUTE)
    file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${abs})
    set(obj ${CMAKE_CURRENT_BINARY_DIR}/${name}.dir/${rel}.obj)
    get_filename_component(objdir ${obj} DIRECTORY)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${IA32_CLANG} ${IA32_CXX_FLAGS} ${include_flags}
              -MD -MF ${obj}.d -c ${abs} -o ${obj}
      DEPENDS ${abs}
      DEPFILE ${obj}.d
      COMMENT "IA-32 ${rel}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(${name}_OBJECTS ${objects} PARENT_SCOPE)
endfunction()

function(add_ia32_image name)
  cmake_parse_arguments(ARG "KEEP_ALL" "ENTRY;BASE;OUTPUT" "OBJECTS" ${ARGN})
  get_filename_component(stem ${ARG_OUTPUT} NAME_WLE)
  get_filename_component(outdir ${ARG_OUTPUT} DIRECTORY)
  set(map ${outdir}/${stem}.map)
  if(ARG_KEEP_ALL)
    set(opt /opt:noref /opt:noicf)
  else()
    set(opt /opt:ref /opt:icf)
  endif()
  add_custom_command(
    OUTPUT ${ARG_OUTPUT} ${map}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
    COMMAND ${IA32_LLD_LINK} /nologo /machine:x86 /subsystem:efi_boot_service_driver
            /entry:${ARG_ENTRY} /base:${ARG_BASE} /align:32 /filealign:32
            /driver /nodefaultlib /dynamicbase /fixed:no /safeseh:no /brepro
            ${opt}
            /map:${map} /out:${ARG_OUTPUT} ${ARG_OBJECTS}
    DEPENDS ${ARG_OBJECTS}
    COMMENT "Linking IA-32 image ${stem}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${ARG_OUTPUT})
endfunction()
