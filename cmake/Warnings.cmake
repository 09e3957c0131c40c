add_library(tarvo_warnings INTERFACE)
target_compile_options(tarvo_warnings INTERFACE -Wall -Wextra -Wpedantic)
# The test build (scripts/test.sh, CI) keeps the tree warning-free; a packager's compiler may
# know warnings this one does not, so the default build only reports them.
option(TARVO_WERROR "Treat compiler warnings as errors" OFF)
if(TARVO_WERROR)
  target_compile_options(tarvo_warnings INTERFACE -Werror)
endif()
