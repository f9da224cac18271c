# Proves that the reduced program carries none of the full program's extra
# modules: run with cmake -P, given NM, BASIC and FULL (the two programs),
# CORE (the library both link) and FULL_PARTS (the full program's extras).
set(left_out settings_load settings_save buzzer_ mode_gate mode_list_)

function(symbols_of file out)
  execute_process(COMMAND ${NM} -C ${file} OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} -C ${file} failed: ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(expect what file names present)
  symbols_of(${file} text)
  foreach(name ${names})
    string(FIND "${text}" "${name}" at)
    if(present AND at EQUAL -1)
      message(FATAL_ERROR "${what} lacks ${name}")
    elseif(NOT present AND NOT at EQUAL -1)
      message(FATAL_ERROR "${what} carries ${name}")
    endif()
  endforeach()
endfunction()

expect("VelmoX-AVMenu-basic" ${BASIC} "${left_out}" FALSE)
expect("the shared core library" ${CORE} "${left_out}" FALSE)
# The full program links what it calls; the gate and the mode lists have no
# caller, so the link drops them and they are looked for in their library.
expect("VelmoX-AVMenu" ${FULL} "settings_load;settings_save;buzzer_init;buzzer_exit_chirp" TRUE)
expect("the full program's library" ${FULL_PARTS} "${left_out}" TRUE)
message(STATUS "VelmoX-AVMenu-basic carries no settings store, buzzer or mode gate")
