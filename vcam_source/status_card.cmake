# Status cards: the card choice, its drawing with GDI and its NV12 conversion.

# Whether the common library already writes log lines (appendLogLine and serviceLogPath).
function(tesmira_common_has_log_lines out)
  set(found OFF)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/common/*.cpp)
  foreach(f ${sources})
    file(STRINGS ${f} hits REGEX "appendLogLine\\(const std::wstring")
    if(hits)
      set(found ON)
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

add_library(tesmira_status_card STATIC ${CMAKE_CURRENT_LIST_DIR}/status_card.cpp)
tesmira_target_defaults(tesmira_status_card)
target_link_libraries(tesmira_status_card PUBLIC tesmira_common)
# The pixel loops (mirror, NV12) only vectorise at -O3: about 4x faster at 1080p.
target_compile_options(tesmira_status_card PRIVATE $<$<NOT:$<CONFIG:Debug>>:-O3>)

# The card's own tests (the rest of vcam_source/tests belongs to the stream).
if(NOT TESMIRA_ONLY_CONCURRENCY_TESTS)
  file(GLOB status_card_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tests/status_card*_test.cpp)
  # Until the common helpers are built, the log line goes through a local stand-in.
  tesmira_common_has_log_lines(status_card_has_log_lines)
  if(NOT status_card_has_log_lines)
    list(APPEND status_card_test_sources ${CMAKE_CURRENT_LIST_DIR}/tests/status_card_log_stand_in.cpp)
  endif()
  _tesmira_test_exe(status_card_tests "unit" "${status_card_test_sources}" "tesmira_status_card")
endif()
