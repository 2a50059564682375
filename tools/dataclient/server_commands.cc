#include "dataclient/server_commands.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "client/connection.h"
#include "client/payload.h"
#include "client/server_module1.h"
#include "common/datetime.h"
#include "common/text.h"

namespace dataclient {
namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

std::string Utf8(std::u16string_view text) { return common::Utf16ToUtf8(text); }

std::string FormatDateTime(double value) {
  const common::DateTimeParts p = common::DecodeDateTime(value);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond);
  return text;
}

// Parses the options, opens an admitted connection and runs `body`. Failures become messages
// on the error stream and exit codes.
template <typename Body>
int WithConnection(const char* command, std::vector<std::string> args, CommandIo& io,
                   size_t min_args, size_t max_args, Body body) {
  ServerOptions options;
  try {
    options = TakeServerOptions(args);
  } catch (const std::invalid_argument& e) {
    io.err << "dataclient " << command << ": " << e.what() << "\n";
    return kUsage;
  }
  if (args.size() < min_args || args.size() > max_args) {
    io.err << "dataclient " << command << ": wrong number of arguments (see dataclient --help)\n";
    return kUsage;
  }
  try {
    client::Connection connection(
        client::LoginOptions(options.host, options.port, options.user, options.password));
    connection.Open();
    return body(connection, args);
  } catch (const client::RemoteError& e) {
    io.err << "dataclient " << command << ": the server answered " << e.class_name() << " ("
           << e.code() << "): " << e.what() << "\n";
  } catch (const std::exception& e) {
    io.err << "dataclient " << command << ": " << e.what() << "\n";
  }
  return kFailure;
}

bool ReadFile(const std::string& path, common::Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFile(const std::string& path, common::ByteSpan bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IsServerOption(const std::string& arg) {
  return arg == "--host" || arg == "--port" || arg == "--user" || arg == "--password";
}

ServerOptions TakeServerOptions(std::vector<std::string>& args) {
  ServerOptions options;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!IsServerOption(arg)) {
      rest.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      size_t used = 0;
      unsigned long port = 0;
      try {
        port = std::stoul(value, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != value.size() || port > 65535) {
        throw std::invalid_argument("--port needs a port number, not \"" + value + "\"");
      }
      options.port = static_cast<uint16_t>(port);
    } else if (arg == "--user") {
      options.user = value;
    } else {
      options.password = value;
    }
  }
  args.swap(rest);
  return options;
}

int RunGetDatabase(const std::vector<std::string>& args, CommandIo& io) {
  return WithConnection("getdatabase", args, io, 0, 0, [&](client::Connection& c, auto&) {
    const client::DatabaseProperties p = c.GetDatabase();
    const client::Table& t = p.table;
    if (t.rows.empty()) {
      io.out << "(no properties)\n";
      return kOk;
    }
    for (size_t i = 0; i < t.columns.size(); ++i) {
      const common::Variant& v = t.rows.front()[i];
      io.out << Utf8(t.columns[i].Name) << " = " << Utf8(v.ToText().value_or(u"?")) << "\n";
    }
    return kOk;
  });
}

int RunDateTime(const std::vector<std::string>& args, CommandIo& io) {
  return WithConnection("datetime", args, io, 0, 0, [&](client::Connection& c, auto&) {
    client::ServerModule1 server(c);
    const client::ServerDateTime t = server.GetServerDateTime();
    io.out << FormatDateTime(t.date_time) << "\nmaximum client connections: " << t.reg << "\n";
    return kOk;
  });
}

int RunQuery(const std::vector<std::string>& args, CommandIo& io) {
  std::vector<std::string> rest;
  std::string out_file;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out") {
      if (i + 1 >= args.size()) {
        io.err << "dataclient query: --out needs a file name\n";
        return kUsage;
      }
      out_file = args[++i];
    } else {
      rest.push_back(args[i]);
    }
  }
  return WithConnection("query", rest, io, 1, 1, [&](client::Connection& c, auto& a) {
    client::ServerModule1 server(c);
    const client::DataResult r = server.SQL2OleVariant(a[0]);
    if (!r.err_msg.empty()) {
      io.err << "dataclient query: " << r.err_msg << "\n";
      return kFailure;
    }
    const std::optional<common::Bytes> compressed = client::PayloadBytes(r.data);
    if (!compressed) {
      io.out << "(no result set)\n";
      return kOk;
    }
    if (!out_file.empty() && !WriteFile(out_file, *compressed)) {
      io.err << "dataclient query: cannot write " << out_file << "\n";
      return kFailure;
    }
    RenderResultSet(client::DecompressPayload(*compressed), io);
    return kOk;
  });
}

int RunExec(const std::vector<std::string>& args, CommandIo& io) {
  return WithConnection("exec", args, io, 1, 1, [&](client::Connection& c, auto& a) {
    client::ServerModule1 server(c);
    const std::string err = server.ExecSQL(a[0]);
    if (!err.empty()) {
      io.err << "dataclient exec: " << err << "\n";
      return kFailure;
    }
    io.out << "done\n";
    return kOk;
  });
}

int RunUpload(const std::vector<std::string>& args, CommandIo& io) {
  return WithConnection("upload", args, io, 1, 2, [&](client::Connection& c, auto& a) {
    common::Bytes bytes;
    if (!ReadFile(a[0], bytes)) {
      io.err << "dataclient upload: cannot read " << a[0] << "\n";
      return kFailure;
    }
    const std::string name = a.size() > 1 ? a[1] : BaseName(a[0]);
    client::ServerModule1 server(c);
    if (!server.UploadFile(client::CompressedPayload(bytes), name)) {
      io.err << "dataclient upload: the server did not store " << name << "\n";
      return kFailure;
    }
    io.out << "uploaded " << name << " (" << bytes.size() << " bytes)\n";
    return kOk;
  });
}

int RunDownload(const std::vector<std::string>& args, CommandIo& io) {
  return WithConnection("download", args, io, 1, 2, [&](client::Connection& c, auto& a) {
    client::ServerModule1 server(c);
    const client::DownloadResult r = server.DownLoadFile(a[0]);
    const std::optional<common::Bytes> compressed = client::PayloadBytes(r.data);
    if (!compressed) {
      io.err << "dataclient download: the server has no file " << a[0] << "\n";
      return kFailure;
    }
    const common::Bytes bytes = client::DecompressPayload(*compressed);
    const std::string target = a.size() > 1 ? a[1] : BaseName(a[0]);
    if (target == "-") {
      io.out.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
      return kOk;
    }
    if (!WriteFile(target, bytes)) {
      io.err << "dataclient download: cannot write " << target << "\n";
      return kFailure;
    }
    io.out << "downloaded " << a[0] << " to " << target << " (" << bytes.size() << " bytes)\n";
    return kOk;
  });
}

}  // namespace dataclient
