// Reader: the web mail reader as `quillory-ext serve --reader PATH` runs it: the mail source at
// PATH, the HTTP server on 127.0.0.1, and the link to the extension service over its socket.
// The program that starts it prints url() as the first line of its standard output.
//
// Ownership: the Reader owns all three; destroying it closes the service link first (so no
// reload arrives any more), then stops the HTTP server. start() and the destructor from one
// thread; the parts serve requests on their own threads.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "hosts/reader/extension_link.h"
#include "hosts/reader/reader_arguments.h"
#include "hosts/reader/reader_server.h"

namespace qy::reader {

struct ReaderOptions {
  std::filesystem::path mail;        // a Maildir, an mbox file or a folder of .eml files
  std::filesystem::path socketPath;  // the extension service's socket, in the storage root
  int port = 0;                      // 0: a free port
};

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

 private:
  Reader() = default;
  std::unique_ptr<ReaderServer> server_;
  std::unique_ptr<ExtensionLink> link_;
};

// The reader of `serve --reader`, started once the service's socket at `socketPath` listens:
// prints its URL as one line on `out` (flushed) and opens it unless --no-browser (through a
// launch file: no secret on xdg-open's command line). Nothing, with
// the reason on `err`, when it cannot start.
std::unique_ptr<Reader> startForService(const ReaderArguments& args, const std::filesystem::path& socketPath,
                                        std::FILE* out, std::FILE* err);

}  // namespace qy::reader
