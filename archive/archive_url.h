#pragma once
// Archives named by URL: sqlite:PATH, influx://HOST[:PORT]/DATABASE and
// influxs://HOST[:PORT]/DATABASE.

#include <memory>
#include <string>

#include "archive/archive.h"
#include "archive/sqlite_store.h"
#include "util/stop_token.h"

// What an InfluxDB archive needs beside its URL; never part of the URL,
// so that no password stands on a command line.
struct ArchiveAccess {
  std::string influxUser;
  std::string influxPassword;
  std::string influxCaFile;  // influxs: the CA of the server's certificate
  const StopToken* stop = nullptr;  // ends a request under way at once
};

// sqlite:$XDG_DATA_HOME/pylax/archive.sqlite ($HOME/.local/share when
// XDG_DATA_HOME is not set).
std::string DefaultArchiveUrl();

// The archive a URL names, ready for a sync: a SQLite file and its folder
// are made when missing; an InfluxDB database is made at its first sync.
// Null with *error for a URL of no known kind, one holding a user or
// password, or a file that cannot be opened.
std::unique_ptr<ArchiveStore> OpenArchive(const std::string& url, const ArchiveAccess& access, std::string* error);

// A SQLite archive that exists, for reading it back (list, export); an
// InfluxDB URL is refused with a word on how to read it there.
std::unique_ptr<SqliteStore> OpenArchiveForReading(const std::string& url, std::string* error);
