# The compile benchmark runs the straightforward tile SRAM planner of the
# tests beside the library's own.
target_sources(orvo_compile_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/memory/plan_memory_oracle.cpp)
