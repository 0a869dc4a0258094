# FERROLUX_SANITIZE=address builds with AddressSanitizer and
# UndefinedBehaviorSanitizer; FERROLUX_SANITIZE=thread with ThreadSanitizer.
if(FERROLUX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(FERROLUX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT FERROLUX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "FERROLUX_SANITIZE must be '', 'address' or 'thread'")
endif()
