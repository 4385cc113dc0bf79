# Builds freestanding IA-32 PE32 images with clang and lld-link, independent of
# the host compiler the rest of the project uses.
#
#   add_ia32_objects(<name> SOURCES <files...> [INCLUDES <dirs...>] [LTO]
#                    [DEBUG])
#     compiles the sources with IA32_CXX_FLAGS; ${<name>_OBJECTS} lists the
#     objects. LTO adds IA32_LTO_FLAGS: the objects then hold bitcode and the
#     link optimises the image as a whole. DEBUG adds DWARF to the same flags
#     (the code generated does not change).
#   add_ia32_image(<name> OBJECTS <objs...> ENTRY <symbol> BASE <address>
#                  OUTPUT <file.efi> [KEEP_ALL] [COMPANION_OF <shipped.efi>])
#     links a PE32 (EFI boot-service driver) with IA32_LINK_FLAGS and a map
#     beside it. Without KEEP_ALL every routine and constant that nothing
#     reachable from the entry point uses is left out. KEEP_ALL keeps every
#     routine of every object (no dead-stripping, no folding), for images that
#     tests call into by symbol. COMPANION_OF links DEBUG objects into a debug
#     companion of an image linked from the same sources: the DWARF sections
#     add section headers, which move every section up by the same amount, so
#     the companion is linked that much lower and its code and constants lie
#     exactly where the shipped image's do.
#
# The flag lists are the single description of how the module's code is made:
# any other build of the same code (a reproducibility check, a debug
# companion) reuses them rather than restating them.

find_program(IA32_CLANG NAMES clang-14 clang REQUIRED)
find_program(IA32_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)
set(IA32_COMPANION_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/Ia32DebugCompanion.cmake)

# -Oz: the image executes in place from flash, where size is what counts; no
# routine of the module is hot enough for speed to matter. Function and data
# sections let the linker drop each unused routine and constant on its own.
set(IA32_CXX_FLAGS
    --target=i686-pc-windows-msvc
    -std=c++20 -ffreestanding -nostdinc
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -fno-threadsafe-statics -fno-builtin
    -mno-sse -mno-sse2 -mno-mmx -mno-3dnow -mno-80387
    -Oz -ffunction-sections -fdata-sections
    -Wall -Wextra
    -fdebug-prefix-map=${CMAKE_SOURCE_DIR}=. -fmacro-prefix-map=${CMAKE_SOURCE_DIR}=.)
if(WARNINGS_AS_ERRORS)
  list(APPEND IA32_CXX_FLAGS -Werror)
endif()

# Whole-image optimisation: routines called from one place are merged into
# their caller and constants propagated across files. About a fifth of the
# code goes.
set(IA32_LTO_FLAGS -flto)

# /timestamp:0 keeps two links of the same objects byte-identical without the
# debug directory that /brepro would add to the image.
set(IA32_LINK_FLAGS
    /nologo /machine:x86 /subsystem:efi_boot_service_driver
    /align:32 /filealign:32
    /driver /nodefaultlib /dynamicbase /fixed:no /safeseh:no /timestamp:0)

function(add_ia32_objects name)
  cmake_parse_arguments(ARG "LTO;DEBUG" "" "SOURCES;INCLUDES" ${ARGN})
  set(objects)
  set(flags ${IA32_CXX_FLAGS})
  if(ARG_LTO)
    list(APPEND flags ${IA32_LTO_FLAGS})
  endif()
  if(ARG_DEBUG)
    # Paths in the DWARF are relative to the source root (the prefix map
    # above), so the compilation directory is the source root too. GDB
    # cannot read the Windows target's decorated names, so routines are
    # named by their source names only (at link time too, for LTO).
    list(APPEND flags -gdwarf-4 -fdebug-compilation-dir=.
         -mllvm -dwarf-linkage-names=Abstract)
  endif()
  foreach(dir IN LISTS ARG_INCLUDES)
    list(APPEND flags -I${dir})
  endforeach()
  foreach(src IN LISTS ARG_SOURCES)
    get_filename_component(abs ${src} ABSOLUTE)
    file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${abs})
    set(obj ${CMAKE_CURRENT_BINARY_DIR}/${name}.dir/${rel}.obj)
    get_filename_component(objdir ${obj} DIRECTORY)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${IA32_CLANG} ${flags} -MD -MF ${obj}.d -c ${abs} -o ${obj}
      DEPENDS ${abs}
      DEPFILE ${obj}.d
      COMMENT "IA-32 ${rel}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(${name}_OBJECTS ${objects} PARENT_SCOPE)
endfunction()

function(add_ia32_image name)
  cmake_parse_arguments(ARG "KEEP_ALL" "ENTRY;BASE;OUTPUT;COMPANION_OF" "OBJECTS"
                        ${ARGN})
  get_filename_component(stem ${ARG_OUTPUT} NAME_WLE)
  get_filename_component(outdir ${ARG_OUTPUT} DIRECTORY)
  set(map ${outdir}/${stem}.map)
  if(ARG_KEEP_ALL)
    set(opt /opt:noref /opt:noicf)
  else()
    set(opt /opt:ref /opt:icf)
  endif()
  set(link ${IA32_LLD_LINK} ${IA32_LINK_FLAGS} /entry:${ARG_ENTRY} ${opt}
      /map:${map} /out:${ARG_OUTPUT} ${ARG_OBJECTS})
  if(ARG_COMPANION_OF)
    list(JOIN link "\n" link_lines)
    set(args ${outdir}/${stem}.link)
    file(WRITE ${args} "${link_lines}\n")
    add_custom_command(
      OUTPUT ${ARG_OUTPUT} ${map}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
      COMMAND ${CMAKE_COMMAND} -DLINK_ARGS=${args} -DBASE=${ARG_BASE}
              -DSHIPPED=${ARG_COMPANION_OF} -DOUTPUT=${ARG_OUTPUT}
              -P ${IA32_COMPANION_SCRIPT}
      DEPENDS ${ARG_OBJECTS} ${ARG_COMPANION_OF} ${IA32_COMPANION_SCRIPT}
      COMMENT "Linking IA-32 debug companion ${stem}"
      VERBATIM)
  else()
    add_custom_command(
      OUTPUT ${ARG_OUTPUT} ${map}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
      COMMAND ${link} /base:${ARG_BASE}
      DEPENDS ${ARG_OBJECTS}
      COMMENT "Linking IA-32 image ${stem}"
      VERBATIM)
  endif()
  add_custom_target(${name} ALL DEPENDS ${ARG_OUTPUT})
endfunction()
