# The benchmarks on imported models write them with the tests' model builder,
# through protobuf and ONNX's generated classes; the builder checks what it
# fills with GoogleTest's assertions, so they link GoogleTest too.
find_package(GTest REQUIRED)
if(TARGET orvo_onnx_bench)
  target_sources(orvo_onnx_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/onnx/model_builder.cpp)
  target_link_libraries(orvo_onnx_bench PRIVATE orvo_compiler::onnx onnx onnx_proto protobuf::libprotobuf GTest::gtest)
endif()
if(TARGET orvo_prepared_bench)
  target_sources(orvo_prepared_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/onnx/model_builder.cpp)
  target_link_libraries(orvo_prepared_bench PRIVATE orvo_compiler::onnx onnx onnx_proto protobuf::libprotobuf GTest::gtest)
endif()
