// The base of every TLMPB message class: an owning wrapper around one
// nanopb structure with pointer fields, released in the destructor.
//
// Copying encodes and decodes again, so a copy shares nothing with its
// source; moving hands the structure over and leaves the source empty. Field access is typed and
// keeps presence: for a field `x`, `has_x()`, `x()` (0, false, "" or an empty message when absent),
// `set_x(...)` and `clear_x()`; for a repeated field `x()` (a vector of values or of message
// copies), `x(index)`, `x_size()`, `add_x(...)`, `set_x(...)` and `clear_x()`. Adding to a repeated
// field that already holds the wire layer's maximum of 65535 entries returns false and changes
// nothing. Texts are UTF-8 and kept up to their first NUL, as nanopb strings are NUL-terminated.
//
// Not thread-safe: one message is used by one thread at a time; distinct
// messages are independent.
#pragma once

#include <pb.h>
#include <pb_common.h>
#include <pb_decode.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ferrolux/Object.h"
#include "upload/TLMPBCodec.h"

template <typename Derived, typename Struct>
class TLMPBMessage {
 public:
  using Message = Struct;

  TLMPBMessage() = default;
  ~TLMPBMessage() { pb_release(Derived::descriptor(), &message_); }

  TLMPBMessage(const TLMPBMessage& other) {
    (void)tlm_copyProtoMessage(Derived::descriptor(), &other.message_, &message_);
  }
  TLMPBMessage(TLMPBMessage&& other) noexcept : message_(other.message_) {
    other.message_ = Struct{};
  }
  TLMPBMessage& operator=(const TLMPBMessage& other) {
    if (this != &other) {
      TLMPBMessage copy(other);
      std::swap(message_, copy.message_);
    }
    return *this;
  }
  TLMPBMessage& operator=(TLMPBMessage&& other) noexcept {
    if (this != &other) {
      pb_release(Derived::descriptor(), &message_);
      message_ = other.message_;
      other.message_ = Struct{};
    }
    return *this;
  }

  // Decodes through tlm_decodeProtoMessage; nothing, with `error` filled,
  // when the bytes are malformed or exceed the decode limits.
  [[nodiscard]] static std::optional<Derived> initWithBuffer(const std::uint8_t* data,
                                                             std::size_t size,
                                                             Error* error = nullptr) {
    Derived result;
    TLMPBMessage& base = result;
    if (!tlm_decodeProtoMessage(Derived::descriptor(), Derived::kMessageName, data, size,
                                &base.message_, error)) {
      return std::nullopt;
    }
    return result;
  }
  [[nodiscard]] static std::optional<Derived> initWithBuffer(const Bytes& buffer,
                                                             Error* error = nullptr) {
    return initWithBuffer(buffer.data(), buffer.size(), error);
  }

  // The serialization; nothing, with `error` filled, when nanopb refuses.
  [[nodiscard]] std::optional<Bytes> protoBuffer(Error* error = nullptr) const {
    return tlm_encodeProtoMessage(Derived::descriptor(), Derived::kMessageName, &message_, error);
  }

  // The message name used in every log line ("MeasurementBundle").
  static const char* messageID() { return Derived::kMessageName; }

  // The nanopb structure, for code that reads many fields at once. Owned by
  // this object.
  const Struct& rawMessage() const { return message_; }

  // A deep copy of a structure this object does not own.
  static Derived copyOfMessage(const Struct& message) {
    Derived result;
    TLMPBMessage& base = result;
    (void)tlm_copyProtoMessage(Derived::descriptor(), &message, &base.message_);
    return result;
  }
  // Takes over a structure whose pointers come from malloc (as nanopb's
  // decoder allocates them).
  static Derived adoptMessage(Struct message) {
    Derived result;
    static_cast<TLMPBMessage&>(result).message_ = message;
    return result;
  }
  // Hands the structure over; this object is empty afterwards.
  Struct releaseMessage() {
    Struct message = message_;
    message_ = Struct{};
    return message;
  }

  // Equal when both encode to the same bytes, which for these messages
  // means every field equal.
  friend bool operator==(const Derived& a, const Derived& b) {
    return a.protoBuffer() == b.protoBuffer();
  }

 protected:
  Struct message_{};
};

// Helpers for the field macros below. Every pointer they store comes from
// tlm_protoAllocate, so pb_release frees it.

template <typename T>
void tlm_protoSetScalar(T** field, T value) {
  if (*field == nullptr) *field = static_cast<T*>(tlm_protoAllocate(sizeof(T)));
  **field = value;
}

template <typename T>
void tlm_protoFree(T** field) {
  std::free(*field);
  *field = nullptr;
}

inline void tlm_protoSetString(char** field, std::string_view value) {
  char* copy = tlm_protoCopyString(value);
  std::free(*field);
  *field = copy;
}

inline bool tlm_protoCanAdd(pb_size_t count) { return count < PB_SIZE_MAX; }

template <typename T>
bool tlm_protoAddScalar(T** array, pb_size_t* count, T value) {
  if (!tlm_protoCanAdd(*count)) return false;
  *array = static_cast<T*>(tlm_protoReallocate(*array, (*count + 1u) * sizeof(T)));
  (*array)[(*count)++] = value;
  return true;
}

template <typename T>
std::vector<T> tlm_protoScalars(const T* array, pb_size_t count) {
  return count == 0 ? std::vector<T>() : std::vector<T>(array, array + count);
}

template <typename T>
void tlm_protoClearScalars(T** array, pb_size_t* count) {
  std::free(*array);
  *array = nullptr;
  *count = 0;
}

template <typename T>
bool tlm_protoSetScalars(T** array, pb_size_t* count, const std::vector<T>& values) {
  if (values.size() > PB_SIZE_MAX) return false;
  tlm_protoClearScalars(array, count);
  for (const T& value : values) (void)tlm_protoAddScalar(array, count, value);
  return true;
}

inline bool tlm_protoAddString(char*** array, pb_size_t* count, std::string_view value) {
  if (!tlm_protoCanAdd(*count)) return false;
  *array = static_cast<char**>(tlm_protoReallocate(*array, (*count + 1u) * sizeof(char*)));
  (*array)[*count] = tlm_protoCopyString(value);
  ++*count;
  return true;
}

inline std::vector<std::string> tlm_protoStrings(char* const* array, pb_size_t count) {
  std::vector<std::string> values;
  values.reserve(count);
  for (pb_size_t index = 0; index < count; ++index) values.push_back(tlm_protoString(array[index]));
  return values;
}

inline void tlm_protoClearStrings(char*** array, pb_size_t* count) {
  for (pb_size_t index = 0; index < *count; ++index) std::free((*array)[index]);
  std::free(*array);
  *array = nullptr;
  *count = 0;
}

inline bool tlm_protoSetStrings(char*** array, pb_size_t* count,
                                const std::vector<std::string>& values) {
  if (values.size() > PB_SIZE_MAX) return false;
  tlm_protoClearStrings(array, count);
  for (const std::string& value : values) (void)tlm_protoAddString(array, count, value);
  return true;
}

template <typename W>
void tlm_protoClearMessage(typename W::Message** field) {
  if (*field == nullptr) return;
  pb_release(W::descriptor(), *field);
  tlm_protoFree(field);
}

template <typename W>
void tlm_protoSetMessage(typename W::Message** field, W value) {
  tlm_protoClearMessage<W>(field);
  *field = static_cast<typename W::Message*>(tlm_protoAllocate(sizeof(typename W::Message)));
  **field = value.releaseMessage();
}

template <typename W>
W tlm_protoMessage(const typename W::Message* field) {
  return field != nullptr ? W::copyOfMessage(*field) : W();
}

template <typename W>
bool tlm_protoAddMessage(typename W::Message** array, pb_size_t* count, W value) {
  if (!tlm_protoCanAdd(*count)) return false;
  *array = static_cast<typename W::Message*>(
      tlm_protoReallocate(*array, (*count + 1u) * sizeof(typename W::Message)));
  (*array)[(*count)++] = value.releaseMessage();
  return true;
}

template <typename W>
std::vector<W> tlm_protoMessages(const typename W::Message* array, pb_size_t count) {
  std::vector<W> values;
  values.reserve(count);
  for (pb_size_t index = 0; index < count; ++index) {
    values.push_back(W::copyOfMessage(array[index]));
  }
  return values;
}

template <typename W>
void tlm_protoClearMessages(typename W::Message** array, pb_size_t* count) {
  for (pb_size_t index = 0; index < *count; ++index) pb_release(W::descriptor(), &(*array)[index]);
  std::free(*array);
  *array = nullptr;
  *count = 0;
}

template <typename W>
bool tlm_protoSetMessages(typename W::Message** array, pb_size_t* count, std::vector<W> values) {
  if (values.size() > PB_SIZE_MAX) return false;
  tlm_protoClearMessages<W>(array, count);
  for (W& value : values) (void)tlm_protoAddMessage(array, count, std::move(value));
  return true;
}

// Declares the message name and the nanopb descriptor of a message class.
#define TLMPB_MESSAGE_CLASS(Struct, Name)      \
 public:                                       \
  static constexpr char kMessageName[] = Name; \
  static const pb_msgdesc_t* descriptor() { return Struct##_fields; }

// An optional number or boolean.
#define TLMPB_SCALAR_FIELD(Type, field)                                               \
  bool has_##field() const { return message_.field != nullptr; }                      \
  Type field() const { return message_.field != nullptr ? *message_.field : Type{}; } \
  void set_##field(Type value) { tlm_protoSetScalar(&message_.field, value); }        \
  void clear_##field() { tlm_protoFree(&message_.field); }

// An optional string.
#define TLMPB_STRING_FIELD(field)                                                          \
  bool has_##field() const { return message_.field != nullptr; }                           \
  std::string field() const { return tlm_protoString(message_.field); }                    \
  void set_##field(std::string_view value) { tlm_protoSetString(&message_.field, value); } \
  void clear_##field() { tlm_protoFree(&message_.field); }

// An optional sub-message: the getter answers a copy (empty when absent);
// the setter takes a copy or, given a temporary, the message itself.
#define TLMPB_MESSAGE_FIELD(Class, field)                                                   \
  bool has_##field() const { return message_.field != nullptr; }                            \
  Class field() const { return tlm_protoMessage<Class>(message_.field); }                   \
  void set_##field(Class value) { tlm_protoSetMessage(&message_.field, std::move(value)); } \
  void clear_##field() { tlm_protoClearMessage<Class>(&message_.field); }

// A repeated number, written unpacked.
#define TLMPB_REPEATED_SCALAR_FIELD(Type, field)                                  \
  std::size_t field##_size() const { return message_.field##_count; }             \
  std::vector<Type> field() const {                                               \
    return tlm_protoScalars(message_.field, message_.field##_count);              \
  }                                                                               \
  Type field(std::size_t index) const { return message_.field[index]; }           \
  bool add_##field(Type value) {                                                  \
    return tlm_protoAddScalar(&message_.field, &message_.field##_count, value);   \
  }                                                                               \
  bool set_##field(const std::vector<Type>& values) {                             \
    return tlm_protoSetScalars(&message_.field, &message_.field##_count, values); \
  }                                                                               \
  void clear_##field() { tlm_protoClearScalars(&message_.field, &message_.field##_count); }

// A repeated string.
#define TLMPB_REPEATED_STRING_FIELD(field)                                                      \
  std::size_t field##_size() const { return message_.field##_count; }                           \
  std::vector<std::string> field() const {                                                      \
    return tlm_protoStrings(message_.field, message_.field##_count);                            \
  }                                                                                             \
  std::string field(std::size_t index) const { return tlm_protoString(message_.field[index]); } \
  bool add_##field(std::string_view value) {                                                    \
    return tlm_protoAddString(&message_.field, &message_.field##_count, value);                 \
  }                                                                                             \
  bool set_##field(const std::vector<std::string>& values) {                                    \
    return tlm_protoSetStrings(&message_.field, &message_.field##_count, values);               \
  }                                                                                             \
  void clear_##field() { tlm_protoClearStrings(&message_.field, &message_.field##_count); }

// A repeated sub-message: getters answer copies; `add_x` takes a copy or,
// given a temporary, the message itself.
#define TLMPB_REPEATED_MESSAGE_FIELD(Class, field)                                             \
  std::size_t field##_size() const { return message_.field##_count; }                          \
  std::vector<Class> field() const {                                                           \
    return tlm_protoMessages<Class>(message_.field, message_.field##_count);                   \
  }                                                                                            \
  Class field(std::size_t index) const { return Class::copyOfMessage(message_.field[index]); } \
  bool add_##field(Class value) {                                                              \
    return tlm_protoAddMessage(&message_.field, &message_.field##_count, std::move(value));    \
  }                                                                                            \
  bool set_##field(std::vector<Class> values) {                                                \
    return tlm_protoSetMessages(&message_.field, &message_.field##_count, std::move(values));  \
  }                                                                                            \
  void clear_##field() { tlm_protoClearMessages<Class>(&message_.field, &message_.field##_count); }
