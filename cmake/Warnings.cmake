# Warnings for the project's own targets (never for generated code).
function(ferrolux_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(FERROLUX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
