// protoc's text rendering of bytes as a measurement batch, read with the
// project's own .proto files. The test target defines FERROLUX_PROTOC and
// FERROLUX_PROTO_DIR.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>

// Empty when protoc cannot decode `bytes`. `folder` takes a scratch file.
inline std::string protocDecodeBatch(const std::string& bytes, const std::string& folder) {
  const std::string input = folder + "/batch.bin";
  std::ofstream(input, std::ios::binary) << bytes;
  const std::string command = std::string(FERROLUX_PROTOC) +
                              " --decode=tlmpb.MeasurementBatch -I " + FERROLUX_PROTO_DIR +
                              " measurement_upload.proto < " + input + " 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  std::size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, read);
  return ::pclose(pipe) == 0 ? output : std::string();
}
