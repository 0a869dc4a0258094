// Random numbers. Secure bytes come from the system (OpenSSL); the
// generator used where values are drawn at random (sampling, offsets) can
// be seeded so that tests are reproducible. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

class Random {
 public:
  virtual ~Random() = default;
  // `count` cryptographically secure bytes.
  virtual std::vector<std::uint8_t> secureBytes(std::size_t count) = 0;
  // Uniform in [0, 2^64).
  virtual std::uint64_t nextUInt64() = 0;
  // Uniform in [0, bound); 0 when bound is 0.
  std::uint64_t uniform(std::uint64_t bound);
  // Uniform in [0, 1).
  double nextDouble();
};

// OpenSSL's RAND_bytes for secure bytes; a generator seeded from it.
class SystemRandom final : public Random {
 public:
  SystemRandom();
  std::vector<std::uint8_t> secureBytes(std::size_t count) override;
  std::uint64_t nextUInt64() override;

 private:
  std::mutex mutex_;
  std::mt19937_64 engine_;
};

// Everything, secure bytes included, from one seeded generator.
class SeededRandom final : public Random {
 public:
  explicit SeededRandom(std::uint64_t seed);
  std::vector<std::uint8_t> secureBytes(std::size_t count) override;
  std::uint64_t nextUInt64() override;

 private:
  std::mutex mutex_;
  std::mt19937_64 engine_;
};
