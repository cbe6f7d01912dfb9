// Reader: the web mail reader, a host of the extension service like any other: the mail source at
// PATH, the HTTP server on 127.0.0.1, and its protocol::ServiceConnection to the service's socket
// (subscribed to reload events; connecting and subscribing again on its own, in the background,
// as soon as a restarted service answers). `quillory-ext reader PATH` runs it beside the service, with an engine of its own
// (ReaderOptions::local) only when no service answers at start; `serve --reader PATH` runs it
// inside the service it starts. The program prints url() as the first line of its standard output.
// Connected to a service, it names its page there (`hello`'s `reader`), so the settings
// application's “打开 Mail” opens it.
//
// Ownership: the Reader owns its parts; destroying it stops the HTTP server (whose handlers use
// the connection), then closes the connection (so no reload arrives any more). start() and the
// destructor from one thread; the parts serve requests on their own threads.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <chrono>
#include <functional>

#include "core/base/thread_annotations.h"
#include "hosts/reader/reader_arguments.h"
#include "hosts/reader/reader_server.h"
#include "protocol/service_connection.h"

namespace qy::reader {

struct ReaderOptions {
  std::filesystem::path mail;        // a Maildir, an mbox file or a folder of .eml files
  std::filesystem::path socketPath;  // the extension service's socket, in the storage root
  int port = 0;                      // 0: a free port
  // Where requests go when no service answers at start (an engine in this process, whose reload
  // events go to the callback given); without it the reader keeps asking the service.
  std::function<HostCall(std::function<void()> onReload)> local;
};

// How long connecting to the service may take before the reader goes on without it.
inline constexpr std::chrono::milliseconds kConnectTimeout{5000};

class Reader {
 public:
  // The running reader, or nothing with a readable (Chinese) reason in `error`: the mail path
  // is none of the three kinds, or the port cannot be bound.
  static std::unique_ptr<Reader> start(const ReaderOptions& options, std::string& error);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The address to print, with a launch token; the address alone, for other hosts.
  std::string url() const { return server_->url(); }
  std::string address() const { return server_->address(); }
  // Opens the page through a launch file in the storage root with `opener` ("xdg-open").
  bool open(const std::string& opener) const { return server_->open(opener); }
  // Whether requests go to the running service (else to the engine in this process).
  bool usesService() const { return !local_; }

 private:
  Reader() = default;
  // Where the server's requests go: the service, or the local host.
  std::optional<nlohmann::json> call(const nlohmann::json& request);

  std::unique_ptr<ReaderServer> server_;
  std::unique_ptr<protocol::ServiceConnection> service_;
  HostCall local_;  // set when no service answered at start
  // The page's address once the server listens: the connection names it to the service.
  mutable Mutex pageLock_;
  std::optional<std::string> page_ QY_GUARDED_BY(pageLock_);
};

// The reader of `serve --reader`, started once the service's socket at `socketPath` listens:
// prints its URL as one line on `out` (flushed) and opens it unless --no-browser (through a
// launch file: no secret on xdg-open's command line). Nothing, with
// the reason on `err`, when it cannot start.
std::unique_ptr<Reader> startForService(const ReaderArguments& args, const std::filesystem::path& socketPath,
                                        std::FILE* out, std::FILE* err);

}  // namespace qy::reader
