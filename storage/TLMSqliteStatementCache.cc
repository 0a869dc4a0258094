#include "storage/TLMSqliteStatementCache.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>

namespace {

constexpr char kWhereKeyword[] = "where";

bool containsIgnoringASCIICase(const std::string& text, const std::string& lowerNeedle) {
  auto it =
      std::search(text.begin(), text.end(), lowerNeedle.begin(), lowerNeedle.end(),
                  [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
  return it != text.end();
}

}  // namespace

TLMSqliteStatementCache::~TLMSqliteStatementCache() { finalizeAll(); }

bool TLMSqliteStatementCache::hasParameters(const std::string& sql) {
  return sql.find('?') != std::string::npos;
}

bool TLMSqliteStatementCache::isCacheable(const std::string& sql) {
  return hasParameters(sql) || !containsIgnoringASCIICase(sql, kWhereKeyword);
}

sqlite3_stmt* TLMSqliteStatementCache::find(const std::string& sql) const {
  auto it = statements_.find(sql);
  return it != statements_.end() ? it->second : nullptr;
}

void TLMSqliteStatementCache::insert(const std::string& sql, sqlite3_stmt* statement) {
  auto [it, inserted] = statements_.emplace(sql, statement);
  if (!inserted && it->second != statement) {
    sqlite3_finalize(it->second);
    it->second = statement;
  }
}

void TLMSqliteStatementCache::finalizeAll() {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  statements_.clear();
}
