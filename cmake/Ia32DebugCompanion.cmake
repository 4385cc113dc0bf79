# Links a debug companion so that its sections lie at the addresses of the
# shipped image's: once at the shipped base to learn how far the DWARF
# sections' extra headers move the first section, then again that much lower.
#
#   cmake -DLINK_ARGS=<file, one lld-link argument a line> -DBASE=<address>
#         -DSHIPPED=<shipped.efi> -DOUTPUT=<companion.efi> -P <this file>

# The RVA of the first section of a PE32 file.
function(first_section_rva file out)
  file(READ ${file} pe_offset OFFSET 60 LIMIT 4 HEX)
  string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1" pe_offset
                       "${pe_offset}")
  math(EXPR optional_size_at "${pe_offset} + 20")
  file(READ ${file} optional_size OFFSET ${optional_size_at} LIMIT 2 HEX)
  string(REGEX REPLACE "(..)(..)" "0x\\2\\1" optional_size "${optional_size}")
  # Signature (4), file header (20), optional header, then the section table;
  # a section header's VirtualAddress is at offset 12.
  math(EXPR rva_at "${pe_offset} + 24 + ${optional_size} + 12")
  file(READ ${file} rva OFFSET ${rva_at} LIMIT 4 HEX)
  string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1" rva "${rva}")
  math(EXPR rva "${rva}")
  set(${out} ${rva} PARENT_SCOPE)
endfunction()

file(STRINGS ${LINK_ARGS} link)
function(link_at base)
  # Routines named by their source names in the DWARF that link-time code
  # generation writes (GDB cannot read the decorated ones). The code
  # generator is told to describe each routine's frame the DWARF way, so
  # the companion carries .debug_frame and a debugger can unwind from any
  # instruction: for this target it otherwise describes frames only in
  # Windows exception tables, which the module has none of. The frame
  # descriptions are data beside the code; the code itself does not change
  # (the companion check compares it with the shipped image's byte for byte).
  execute_process(COMMAND ${link} /debug:dwarf
                          /mllvm:-dwarf-linkage-names=Abstract
                          /mllvm:-exception-model=dwarf /base:${base}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "linking the debug companion ${OUTPUT} failed")
  endif()
endfunction()

link_at(${BASE})
first_section_rva(${SHIPPED} shipped_rva)
first_section_rva(${OUTPUT} companion_rva)
math(EXPR shift "${companion_rva} - ${shipped_rva}")
if(shift LESS 0)
  message(FATAL_ERROR "the companion's first section (RVA ${companion_rva}) "
                      "lies below the shipped image's (RVA ${shipped_rva})")
endif()
math(EXPR lower "${BASE} - ${shift}" OUTPUT_FORMAT HEXADECIMAL)
link_at(${lower})
