#include "platform/Random.h"

#include <openssl/rand.h>

namespace {

// RAND_bytes fails only when the system cannot seed it; the kernel's
// generator behind std::random_device is then the next best source.
void fillSecure(std::uint8_t* out, std::size_t count) {
  while (count > 0) {
    const int chunk = count > (1u << 20) ? (1 << 20) : static_cast<int>(count);
    if (RAND_bytes(out, chunk) != 1) {
      std::random_device device;
      for (int i = 0; i < chunk; ++i) out[i] = static_cast<std::uint8_t>(device());
    }
    out += chunk;
    count -= static_cast<std::size_t>(chunk);
  }
}

}  // namespace

std::uint64_t Random::uniform(std::uint64_t bound) {
  if (bound == 0) return 0;
  // Rejects the lowest (2^64 mod bound) values so that every result is
  // equally likely.
  const std::uint64_t threshold = (0 - bound) % bound;
  while (true) {
    const std::uint64_t value = nextUInt64();
    if (value >= threshold) return value % bound;
  }
}

double Random::nextDouble() {
  return static_cast<double>(nextUInt64() >> 11) * (1.0 / 9007199254740992.0);
}

SystemRandom::SystemRandom() {
  std::uint64_t seed = 0;
  fillSecure(reinterpret_cast<std::uint8_t*>(&seed), sizeof seed);
  engine_.seed(seed);
}

std::vector<std::uint8_t> SystemRandom::secureBytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  if (count > 0) fillSecure(bytes.data(), count);
  return bytes;
}

std::uint64_t SystemRandom::nextUInt64() {
  std::lock_guard<std::mutex> lock(mutex_);
  return engine_();
}

SeededRandom::SeededRandom(std::uint64_t seed) : engine_(seed) {}

std::vector<std::uint8_t> SeededRandom::secureBytes(std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::uint8_t> bytes(count);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(engine_() >> 56);
  return bytes;
}

std::uint64_t SeededRandom::nextUInt64() {
  std::lock_guard<std::mutex> lock(mutex_);
  return engine_();
}
