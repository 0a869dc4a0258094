// Shared helpers of the wire-format tests: protoc as the independent
// encoder, and hand-made wire bytes.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ferrolux/Object.h"

// Runs `command` through the shell and answers its standard output; fails
// the test when it does not exit with 0.
inline Bytes wireRunCommand(const std::string& command) {
  Bytes output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return output;
  }
  std::uint8_t buffer[4096];
  std::size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    output.insert(output.end(), buffer, buffer + count);
  }
  const int status = ::pclose(pipe);
  EXPECT_EQ(status, 0) << command;
  return output;
}

inline std::string wireProtoCommand(const std::string& mode, const std::string& message,
                                    const std::string& protoFile) {
  const std::string protoDir = FERROLUX_PROTO_DIR;
  return std::string(FERROLUX_PROTOC) + " --" + mode + "=tlmpb." + message + " -I '" + protoDir +
         "' '" + protoDir + "/" + protoFile + "'";
}

// protoc's encoding of a text-format fixture of tests/upload/fixtures.
inline Bytes protocEncodeFixture(const std::string& message, const std::string& protoFile,
                                 const std::string& fixture) {
  const std::string path = std::string(FERROLUX_WIRE_FIXTURES) + "/" + fixture;
  const Bytes bytes =
      wireRunCommand(wireProtoCommand("encode", message, protoFile) + " < '" + path + "' 2>&1");
  EXPECT_FALSE(bytes.empty()) << "protoc produced nothing for " << fixture;
  return bytes;
}

// protoc's text form of `bytes`, to show what differs when encodings differ.
inline std::string protocDecode(const std::string& message, const std::string& protoFile,
                                const Bytes& bytes) {
  char path[] = "/tmp/ferrolux-wire-XXXXXX";
  const int descriptor = ::mkstemp(path);
  if (descriptor < 0) return "(no temporary file)";
  ::close(descriptor);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const Bytes text =
      wireRunCommand(wireProtoCommand("decode", message, protoFile) + " < '" + path + "' 2>&1");
  ::unlink(path);
  return std::string(text.begin(), text.end());
}

inline void wireAppendVarint(Bytes* out, std::uint64_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<std::uint8_t>(value));
}

// Appends a length-delimited field: key, varint length, payload.
inline void wireAppendDelimited(Bytes* out, std::uint32_t tag, const Bytes& payload) {
  wireAppendVarint(out, (static_cast<std::uint64_t>(tag) << 3) | 2);
  wireAppendVarint(out, payload.size());
  out->insert(out->end(), payload.begin(), payload.end());
}
