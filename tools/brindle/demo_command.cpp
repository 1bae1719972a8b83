#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/dump_reader.h"
#include "brindle/integrity.h"
#include "brindle/json_codec.h"
#include "brindle/tool_error.h"
#include "brindle/tool_output.h"
#include "brindle/tree_printer.h"
#include "brindle/value_text.h"

namespace brindle::tool {
namespace {

namespace fs = std::filesystem;

vell::VariableData Value(vell::VariableType type, const std::string& text) {
    return ParseValue(type, text);
}

// The configuration of a small service: every value type, nested keys, a hidden main key for
// secrets and an empty read-only main key for factory defaults. Every step tolerates the
// state the previous run left, so the demo can run any number of times.
void BuildDemoDatabase(Database& database, std::ostream& out) {
    database.CreatePath(KeyAddress({"Service", "Network", "TLS"}));
    database.CreatePath(KeyAddress({"Service", "Limits"}));
    database.CreatePath(KeyAddress({"Service", "Sessions"}));
    if (!database.Exists(KeyAddress({"Secrets"}))) {
        database.CreateMainKey("Secrets", true, false);
    }
    if (!database.Exists(KeyAddress({"Factory"}))) {
        database.CreateMainKey("Factory", false, true);
    }

    Key service = database.Open(KeyAddress({"Service"}));
    service.Set("display_name", Value(vell::TypeString, "Inventory API"));
    service.Set("enabled", Value(vell::TypeByte, "1"));
    service.Set("deployed_at", Value(vell::TypeDateTime, "2024-03-05T10:00:00Z"));
    service.Set("maintenance_note", Value(vell::TypeEmpty, ""));

    Key network = database.Open(KeyAddress({"Service", "Network"}));
    network.Set("host", Value(vell::TypeString, "0.0.0.0"));
    network.Set("port", Value(vell::TypeShort, "8080"));
    network.Set("request_timeout_s", Value(vell::TypeDouble, "2.5"));

    Key tls = database.Open(KeyAddress({"Service", "Network", "TLS"}));
    tls.Set("certificate_fingerprint", Value(vell::TypeBinary, "3q2+7wABAgP+/w=="));
    tls.Set("ticket_lifetime_us", Value(vell::TypeInt64, "86400000000"));

    Key limits = database.Open(KeyAddress({"Service", "Limits"}));
    limits.Set("max_connections", Value(vell::TypeInt, "512"));
    limits.Set("sample_rate", Value(vell::TypeFloat, "0.25"));
    limits.Set("quota_bytes", Value(vell::TypeInt64, "10737418240"));

    // Sessions get names the library generates; the first run makes one, later runs reuse it.
    const KeyAddress sessions({"Service", "Sessions"});
    std::vector<std::string> existing = database.Open(sessions).SubKeys();
    const std::string session =
        existing.empty() ? database.Open(sessions).AppendSubKey("") : existing.front();
    Key session_key = database.Open(sessions.Child(session));
    session_key.Set("client", Value(vell::TypeString, "warehouse-scanner-7"));
    session_key.Set("last_seen", Value(vell::TypeDateTime, "2024-03-05T10:15:30Z"));
    out << "generated session key: " << sessions.Child(session).ToString() << '\n';

    database.Open(KeyAddress({"Secrets"})).Set("api_token", Value(vell::TypeString, "s3cr3t"));
}

void ShowRefusedWrite(Database& database, std::ostream& out) {
    try {
        database.Open(KeyAddress({"Factory"})).Set("port", Value(vell::TypeShort, "80"));
        out << "unexpected: the read-only main key accepted a change\n";
    } catch (const ToolError& error) {
        out << "refused as expected: " << error.what() << '\n';
    }
}

// The files the demo makes, all named after the database's base path.
struct DemoFiles {
    explicit DemoFiles(const std::string& base)
        : database(base),
          marker(base + ".demo"),
          export_file(base + "-service-network.brx"),
          dump_file(base + "-dump.json") {}

    std::string database;
    std::string marker;  // the full dump of the database as the demo left it
    std::string export_file;
    std::string dump_file;
};

std::string FullDump(const DatabaseAccess& access) {
    const std::vector<MainKeyListing> main_keys = ListMainKeys(access);
    Database database(access);
    return DocumentToJson(ReadMainKeys(database, main_keys));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Main keys cannot be deleted, so a demo run in a user's database would leave its keys
// there for good. The demo works only in a database of its own: a new one, or one that
// still holds exactly what an earlier run left (recorded in the marker file).
void RefuseForeignDatabase(const DemoFiles& files, const DatabaseAccess& access) {
    const std::string refusal = "the demo builds a database of its own, and ";
    if (!fs::exists(DataFileName(files.database, 1))) {
        for (const std::string& file : {files.marker, files.export_file, files.dump_file}) {
            if (fs::exists(file)) {
                throw ToolError(refusal + "would overwrite " + file +
                                "; give it a new path with --db");
            }
        }
        return;
    }
    if (!fs::exists(files.marker) || ReadText(files.marker) != FullDump(access)) {
        throw ToolError(refusal + "the database at '" + files.database +
                        "' holds data the demo did not make; give it a new path with --db");
    }
}

void WriteMarker(const DemoFiles& files, const DatabaseAccess& access) {
    const std::string text = FullDump(access);
    ReplacingFile marker(files.marker);
    marker.Stream() << text;
    marker.Commit();
}

void Heading(std::ostream& out, const std::string& text) {
    out << "\n== " << text << '\n';
}

// The fresh import goes into a scratch database that is removed afterwards.
void ShowImportedCopy(const DemoFiles& files, std::ostream& out) {
    std::string pattern = (fs::temp_directory_path() / "brindle-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw ToolError("cannot make a scratch folder for the demo's second database");
    }
    const std::string copy_path = pattern + "/db";
    Heading(out, "Importing it fresh into a second database at " + copy_path);
    try {
        // The scratch database is the demo's own and is deleted below: it holds it alone.
        Database copy(DatabaseAccess{copy_path, true, 0, OpenMode::kExclusive});
        copy.Import(files.export_file, true);
        Heading(out, "JSON dump of the second database");
        out << DocumentToJson(ReadDocument(copy, KeyAddress()));
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(pattern, ignored);
        throw;
    }
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
}

void RunDemo(ToolContext& context) {
    std::ostream& out = *context.out;
    const DatabaseAccess access = context.Access(true);
    const DemoFiles files(access.path);
    RefuseForeignDatabase(files, access);

    Heading(out, "Building the demo database at " + files.database);
    {
        Database database(access);
        BuildDemoDatabase(database, out);

        Heading(out, "Tree of the listed main keys (Secrets is hidden and not listed)");
        PrintTree(database, KeyAddress(), -1, true, out);
        Heading(out, "The hidden main key, opened by name");
        PrintTree(database, KeyAddress({"Secrets"}), -1, true, out);

        Heading(out, "Writing below the read-only main key Factory");
        ShowRefusedWrite(database, out);

        Heading(out, "Exporting Service/Network to " + files.export_file);
        database.Open(KeyAddress({"Service", "Network"})).Export(files.export_file, true);
        out << fs::file_size(files.export_file) << " bytes written\n";
    }
    WriteMarker(files, access);
    {
        ReplacingFile dump(files.dump_file);
        dump.Stream() << ReadText(files.marker);
        dump.Commit();
    }

    ShowImportedCopy(files, out);
    out << "(the full dump of the demo database, hidden keys too, is in " << files.dump_file
        << ")\n";

    Heading(out, "Checking the structure of " + files.database);
    const CheckFindings findings = CheckDatabase(access);
    out << "checked " << Counted(findings.keys, "key") << " and "
        << Counted(findings.properties, "property", "properties") << ": "
        << Counted(findings.problems.size(), "problem") << ", "
        << Counted(findings.leaks.size(), "leaked page") << '\n';
    if (findings.Count() != 0) {
        throw ToolError("the check found " + std::to_string(findings.Count()) + " problem(s)");
    }
    out << "\nDone. Look around with: brindle --db " << files.database << " tree --props\n";
}

}  // namespace

void AddDemoCommand(CLI::App& app, ToolContext& context) {
    CLI::App* demo = app.add_subcommand(
        "demo",
        "Build a small example database, show it, export, import, dump and check it (only in "
        "a new database or one an earlier demo made)");
    demo->callback([&context] { RunDemo(context); });
}

}  // namespace brindle::tool
