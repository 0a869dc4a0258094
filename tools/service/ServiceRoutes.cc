#include "tools/service/ServiceRoutes.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <memory>
#include <utility>

#include "tools/service/BatchDecoding.h"
#include "tools/service/ServicePage.h"
#include "tools/service/ServiceText.h"

namespace {

constexpr char kJSON[] = "application/json";
constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kHTML[] = "text/html; charset=utf-8";
constexpr char kProtobuf[] = "application/x-protobuf";
constexpr char kOctets[] = "application/octet-stream";

void answerText(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", kText);
}

void answerJSON(httplib::Response& response, const nlohmann::json& json) {
  response.status = 200;
  response.set_content(json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), kJSON);
}

// Answers and then closes the connection: a body that was not read (or
// not to its end) would otherwise be taken for the next request. The HTTP
// layer keeps a connection open whatever the answer's headers say, but
// closes it when a content provider fails, so the provider writes the
// whole answer and then reports failure.
void answerAndClose(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_header("Connection", "close");
  auto content = std::make_shared<std::string>(text + "\n");
  response.set_content_provider(
      content->size(), kText,
      [content](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (offset < content->size()) {
          sink.write(content->data() + offset, std::min(length, content->size() - offset));
        }
        return false;
      });
}

std::optional<std::int64_t> parseNumber(const std::string& text, std::int64_t low,
                                        std::int64_t high) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

struct Paging {
  std::int64_t page = 1;
  std::int64_t perPage = kServiceDefaultPerPage;
  std::int64_t offset() const { return (page - 1) * perPage; }
};

// ?page=P&per_page=N; per_page above the maximum is cut to it.
std::optional<Paging> parsePaging(const httplib::Request& request, std::string* problem) {
  Paging paging;
  if (request.has_param("page")) {
    const std::optional<std::int64_t> page =
        parseNumber(request.get_param_value("page"), 1, kServiceMaxPage);
    if (!page) {
      *problem = "page must be a whole number from 1 to " + std::to_string(kServiceMaxPage);
      return std::nullopt;
    }
    paging.page = *page;
  }
  if (request.has_param("per_page")) {
    const std::optional<std::int64_t> perPage =
        parseNumber(request.get_param_value("per_page"), 1, INT64_MAX);
    if (!perPage) {
      *problem = "per_page must be a whole number of at least 1";
      return std::nullopt;
    }
    paging.perPage = std::min(*perPage, kServiceMaxPerPage);
  }
  return paging;
}

nlohmann::json optionalJSON(const std::optional<std::string>& text) {
  return text ? nlohmann::json(*text) : nlohmann::json();
}

nlohmann::json optionalJSON(const std::optional<std::int64_t>& number) {
  return number ? nlohmann::json(*number) : nlohmann::json();
}

nlohmann::json eventJSON(const StoredEvent& event, bool withBundle) {
  nlohmann::json json;
  if (withBundle) json["bundle_id"] = event.bundleID;
  json["name"] = event.name;
  json["timestamp_millis"] = optionalJSON(event.timestampMillis);
  json["params"] = event.params.is_object() ? event.params : nlohmann::json::object();
  return json;
}

nlohmann::json bundleJSON(const StoredBundle& bundle) {
  nlohmann::json events = nlohmann::json::array();
  for (const StoredEvent& event : bundle.events) events.push_back(eventJSON(event, false));
  nlohmann::json attributes = nlohmann::json::array();
  for (const StoredUserAttribute& attribute : bundle.userAttributes) {
    attributes.push_back({{"name", attribute.name},
                          {"value", attribute.value},
                          {"set_timestamp_millis", optionalJSON(attribute.setTimestampMillis)}});
  }
  return {{"id", bundle.id},
          {"batch_id", bundle.batchID},
          {"received_at_millis", bundle.receivedAtMillis},
          {"app_id", optionalJSON(bundle.appID)},
          {"app_instance_id", optionalJSON(bundle.appInstanceID)},
          {"bundle_index", optionalJSON(bundle.bundleIndex)},
          {"start_timestamp_millis", optionalJSON(bundle.startTimestampMillis)},
          {"end_timestamp_millis", optionalJSON(bundle.endTimestampMillis)},
          {"events", std::move(events)},
          {"user_attributes", std::move(attributes)}};
}

// Reads the body of a POST through `reader`, inflated by the HTTP layer
// when it came gzipped, refusing more than kServiceMaxBodySize bytes
// either way. False with the answer set when it cannot be read.
bool readBody(const httplib::Request& request, httplib::Response& response,
              const httplib::ContentReader& reader, std::string* body) {
  if (request.has_header("Content-Length")) {
    const std::optional<std::int64_t> length =
        parseNumber(request.get_header_value("Content-Length"), 0, INT64_MAX);
    if (length && static_cast<std::uint64_t>(*length) > kServiceMaxBodySize) {
      answerAndClose(response, 413,
                     "body larger than " + std::to_string(kServiceMaxBodySize) + " bytes");
      return false;
    }
  }
  bool tooLarge = false;
  const bool read = reader([&](const char* data, std::size_t size) {
    if (body->size() + size > kServiceMaxBodySize) {
      tooLarge = true;
      return false;
    }
    body->append(data, size);
    return true;
  });
  if (tooLarge) {
    answerAndClose(
        response, 413,
        "body larger than " + std::to_string(kServiceMaxBodySize) + " bytes once inflated");
    return false;
  }
  if (!read) {
    answerAndClose(response, 400, "the body cannot be read (truncated or badly compressed)");
    return false;
  }
  return true;
}

void dropConnection(const httplib::Request& request, httplib::Response& response) {
  if (!serviceDropConnection(request.remote_addr, request.remote_port, request.local_port)) {
    // Without the socket the next best thing is an answer nobody expects.
    answerAndClose(response, 500, "fault: the connection could not be dropped");
  }
}

class Routes {
 public:
  explicit Routes(const ServiceContext& context) : context_(context) {}

  void upload(const httplib::Request& request, httplib::Response& response,
              const httplib::ContentReader& reader) {
    const std::optional<ServiceFault> fault = context_.faults->take(ServiceFaultTarget::Upload);
    if (fault && fault->kind == ServiceFaultKind::DropBeforeStore) {
      dropConnection(request, response);
      return;
    }
    if (fault && fault->kind == ServiceFaultKind::Delay &&
        !context_.faults->wait(fault->delayMillis)) {
      answerAndClose(response, 503, "the service is stopping");
      return;
    }
    std::string body;
    if (!readBody(request, response, reader, &body)) return;
    if (fault && fault->kind == ServiceFaultKind::Status) {
      answerText(response, fault->status, "fault: status " + std::to_string(fault->status));
      return;
    }
    std::string problem;
    const std::optional<std::vector<DecodedBundle>> bundles =
        decodeMeasurementBatch(body, &problem);
    if (!bundles) {
      answerText(response, 400, problem);
      return;
    }
    if (!context_.store->storeBatch(body, *bundles, context_.nowMillis(), &problem)) {
      answerText(response, 500, "cannot store the batch: " + problem);
      return;
    }
    if (fault && fault->kind == ServiceFaultKind::DropAfterStore) {
      dropConnection(request, response);
      return;
    }
    response.status = 204;
  }

  void config(const httplib::Request& request, httplib::Response& response) {
    const std::optional<ServiceFault> fault = context_.faults->take(ServiceFaultTarget::Config);
    if (fault) {
      switch (fault->kind) {
        case ServiceFaultKind::Status:
          answerText(response, fault->status, "fault: status " + std::to_string(fault->status));
          return;
        case ServiceFaultKind::Delay:
          if (!context_.faults->wait(fault->delayMillis)) {
            answerAndClose(response, 503, "the service is stopping");
            return;
          }
          break;
        case ServiceFaultKind::DropBeforeStore:
        case ServiceFaultKind::DropAfterStore:
          dropConnection(request, response);
          return;
      }
    }
    const std::string appID = request.matches[1];
    if (!context_.configDir || !isServableAppID(appID)) {
      answerText(response, 404, "no configuration");
      return;
    }
    const std::string path = *context_.configDir + "/" + appID + ".pb";
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      answerText(response, 404, "no configuration for this app id");
      return;
    }
    if (static_cast<std::uint64_t>(info.st_size) > kServiceMaxConfigSize) {
      answerText(response, 500, "the configuration file is too large");
      return;
    }
    const std::time_t modified = info.st_mtim.tv_sec;
    const std::string lastModified = serviceHTTPDate(modified);
    if (request.has_header("If-Modified-Since")) {
      const std::optional<std::time_t> since =
          serviceParseHTTPDate(request.get_header_value("If-Modified-Since"));
      if (since && *since >= modified) {
        response.status = 304;
        response.set_header("Last-Modified", lastModified);
        return;
      }
    }
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
      answerText(response, 500, "cannot read the configuration file");
      return;
    }
    response.status = 200;
    response.set_header("Last-Modified", lastModified);
    response.set_content(bytes, kProtobuf);
  }

  void page(const httplib::Request& request, httplib::Response& response) {
    std::int64_t page = 1;
    if (request.has_param("page")) {
      page = parseNumber(request.get_param_value("page"), 1, kServiceMaxPage).value_or(1);
    }
    std::string problem;
    const std::optional<StoreSummary> summary = context_.store->summary(&problem);
    const std::optional<std::vector<StoredBundle>> bundles =
        summary ? context_.store->bundles((page - 1) * kServicePageBundles, kServicePageBundles,
                                          &problem)
                : std::nullopt;
    if (!bundles) {
      answerText(response, 500, problem);
      return;
    }
    response.status = 200;
    response.set_content(renderServicePage(*summary, page, *bundles), kHTML);
  }

  void summary(const httplib::Request&, httplib::Response& response) {
    std::string problem;
    const std::optional<StoreSummary> summary = context_.store->summary(&problem);
    if (!summary) {
      answerText(response, 500, problem);
      return;
    }
    answerJSON(response, {{"batches", summary->batches},
                          {"bundles", summary->bundles},
                          {"events", summary->events},
                          {"duplicates_dropped", summary->duplicatesDropped}});
  }

  // One page of stored items, newest first, as {"total", "page",
  // "per_page", `key`: [...]}; `total` is the summary's count of them.
  template <typename Item>
  void answerPage(const httplib::Request& request, httplib::Response& response, const char* key,
                  std::int64_t StoreSummary::*total,
                  std::optional<std::vector<Item>> (ServiceStore::*fetch)(std::int64_t,
                                                                          std::int64_t,
                                                                          std::string*),
                  const std::function<nlohmann::json(const Item&)>& toJSON) {
    std::string problem;
    const std::optional<Paging> paging = parsePaging(request, &problem);
    if (!paging) {
      answerText(response, 400, problem);
      return;
    }
    const std::optional<StoreSummary> summary = context_.store->summary(&problem);
    const std::optional<std::vector<Item>> page =
        summary ? (context_.store->*fetch)(paging->offset(), paging->perPage, &problem)
                : std::nullopt;
    if (!page) {
      answerText(response, 500, problem);
      return;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const Item& item : *page) list.push_back(toJSON(item));
    answerJSON(response, {{"total", (*summary).*total},
                          {"page", paging->page},
                          {"per_page", paging->perPage},
                          {key, std::move(list)}});
  }

  void bundles(const httplib::Request& request, httplib::Response& response) {
    answerPage<StoredBundle>(request, response, "bundles", &StoreSummary::bundles,
                             &ServiceStore::bundles,
                             [](const StoredBundle& bundle) { return bundleJSON(bundle); });
  }

  void events(const httplib::Request& request, httplib::Response& response) {
    answerPage<StoredEvent>(request, response, "events", &StoreSummary::events,
                            &ServiceStore::events,
                            [](const StoredEvent& event) { return eventJSON(event, true); });
  }

  void batches(const httplib::Request& request, httplib::Response& response) {
    std::string problem;
    const std::optional<Paging> paging = parsePaging(request, &problem);
    if (!paging) {
      answerText(response, 400, problem);
      return;
    }
    const std::optional<std::vector<StoredBatch>> page =
        context_.store->batches(paging->offset(), paging->perPage, &problem);
    if (!page) {
      answerText(response, 500, problem);
      return;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const StoredBatch& batch : *page) {
      list.push_back({{"id", batch.id},
                      {"received_at_millis", batch.receivedAtMillis},
                      {"size", batch.size},
                      {"bundle_count", batch.bundleCount}});
    }
    answerJSON(response, list);
  }

  void rawBatch(const httplib::Request& request, httplib::Response& response) {
    const std::optional<std::int64_t> id = parseNumber(request.matches[1], 1, INT64_MAX);
    std::optional<std::string> bytes;
    std::string problem;
    if (!id) {
      answerText(response, 404, "no such batch");
      return;
    }
    if (!context_.store->rawBatch(*id, &bytes, &problem)) {
      answerText(response, 500, problem);
      return;
    }
    if (!bytes) {
      answerText(response, 404, "no such batch");
      return;
    }
    response.status = 200;
    response.set_content(*bytes, kOctets);
  }

  void addFault(const httplib::Request& request, httplib::Response& response) {
    const nlohmann::json json = nlohmann::json::parse(request.body, nullptr, false);
    std::string problem;
    const std::optional<ServiceFault> fault =
        json.is_discarded() ? std::nullopt : parseServiceFault(json, &problem);
    if (!fault) {
      answerText(response, 400, json.is_discarded() ? "the body is not JSON" : problem);
      return;
    }
    if (!context_.faults->add(*fault)) {
      answerText(response, 400, "too many faults queued");
      return;
    }
    answerJSON(response, {{"faults", context_.faults->list()}});
  }

  void listFaults(const httplib::Request&, httplib::Response& response) {
    answerJSON(response, {{"faults", context_.faults->list()}});
  }

  void clearFaults(const httplib::Request&, httplib::Response& response) {
    context_.faults->clear();
    answerJSON(response, {{"faults", nlohmann::json::array()}});
  }

 private:
  ServiceContext context_;
};

}  // namespace

bool isServableAppID(const std::string& appID) {
  if (appID.empty() || appID.size() > kServiceMaxAppIDLength || appID.front() == '.') return false;
  if (appID.find("..") != std::string::npos) return false;
  for (const char c : appID) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

void installServiceRoutes(httplib::Server& server, const ServiceContext& context) {
  auto routes = std::make_shared<Routes>(context);
  // Bodies other than an upload are small JSON; only an upload may come
  // compressed, so that nothing else can be inflated without a bound.
  server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    if (request.has_header("Content-Encoding") &&
        !(request.method == "POST" && request.path == "/a")) {
      answerAndClose(response, 415, "only uploads to /a may be compressed");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answerText(response, 500, "internal error");
      });
  server.set_payload_max_length(kServiceMaxBodySize);
  auto bind = [routes](auto method) {
    return [routes, method](const httplib::Request& request, httplib::Response& response) {
      try {
        ((*routes).*method)(request, response);
      } catch (const std::exception& exception) {
        answerText(response, 500, std::string("internal error: ") + exception.what());
      }
    };
  };
  server.Post("/a", [routes](const httplib::Request& request, httplib::Response& response,
                             const httplib::ContentReader& reader) {
    try {
      routes->upload(request, response, reader);
    } catch (const std::exception& exception) {
      answerAndClose(response, 500, std::string("internal error: ") + exception.what());
    }
  });
  server.Get("/config/app/(.*)", bind(&Routes::config));
  server.Get("/", bind(&Routes::page));
  server.Get("/api/summary", bind(&Routes::summary));
  server.Get("/api/bundles", bind(&Routes::bundles));
  server.Get("/api/events", bind(&Routes::events));
  server.Get("/api/batches", bind(&Routes::batches));
  server.Get(R"(/api/batches/(\d{1,19})/raw)", bind(&Routes::rawBatch));
  server.Post("/api/faults", bind(&Routes::addFault));
  server.Get("/api/faults", bind(&Routes::listFaults));
  server.Delete("/api/faults", bind(&Routes::clearFaults));
}
