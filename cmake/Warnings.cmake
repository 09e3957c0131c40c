add_library(tarvo_warnings INTERFACE)
target_compile_options(tarvo_warnings INTERFACE -Wall -Wextra -Wpedantic)
