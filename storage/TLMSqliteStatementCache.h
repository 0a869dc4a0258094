// Prepared statements of one connection, kept by their exact SQL text so
// that repeated queries are reset and bound again instead of re-prepared.
//
// Owned by TLMSqliteStore and used on its queue only. Every statement in
// the cache belongs to the store's current connection: finalizeAll() must
// run before that connection closes.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

struct sqlite3_stmt;

class TLMSqliteStatementCache {
 public:
  TLMSqliteStatementCache() = default;
  ~TLMSqliteStatementCache();
  TLMSqliteStatementCache(const TLMSqliteStatementCache&) = delete;
  TLMSqliteStatementCache& operator=(const TLMSqliteStatementCache&) = delete;

  // Whether `sql` has "?" placeholders.
  static bool hasParameters(const std::string& sql);
  // The caching rule: parameterised statements are kept, and so are
  // statements without "WHERE" (any case). Statements with literal
  // conditions are not, so the cache stays bounded by the set of distinct
  // parameterised query texts.
  static bool isCacheable(const std::string& sql);

  // Null when `sql` is not cached.
  sqlite3_stmt* find(const std::string& sql) const;
  // Keeps `statement` under `sql`; the cache finalizes it later.
  void insert(const std::string& sql, sqlite3_stmt* statement);
  // Finalizes every statement and empties the cache.
  void finalizeAll();
  std::size_t size() const { return statements_.size(); }

 private:
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
};
