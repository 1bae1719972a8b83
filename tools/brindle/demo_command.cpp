#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/dump_reader.h"
#include "brindle/integrity.h"
#include "brindle/json_codec.h"
#include "brindle/tool_error.h"
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

// The second database belongs to the demo alone; its data files are removed so that the
// fresh import finds no main key from an earlier run.
void RemoveDatabaseFiles(const std::string& base) {
    for (int number = 1; number <= 300; ++number) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "%03d", number);
        std::error_code ignored;
        fs::remove(base + suffix, ignored);
    }
}

void Heading(std::ostream& out, const std::string& text) {
    out << "\n== " << text << '\n';
}

void RunDemo(ToolContext& context) {
    std::ostream& out = *context.out;
    const std::string path = context.DatabasePath();
    const fs::path folder =
        fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
    const std::string export_file = (folder / "service-network.brx").string();
    const std::string copy_path = (folder / "imported" / "db").string();
    const std::string dump_file = (folder / "demo-dump.json").string();

    Heading(out, "Building the demo database at " + path);
    {
        Database database(path);
        BuildDemoDatabase(database, out);

        Heading(out, "Tree of the listed main keys (Secrets is hidden and not listed)");
        out.flush();
        PrintTree(database, KeyAddress(), -1, true, out);
        Heading(out, "The hidden main key, opened by name");
        PrintTree(database, KeyAddress({"Secrets"}), -1, true, out);

        Heading(out, "Writing below the read-only main key Factory");
        ShowRefusedWrite(database, out);

        Heading(out, "Exporting Service/Network to " + export_file);
        database.Open(KeyAddress({"Service", "Network"})).Export(export_file, true);
        out << fs::file_size(export_file) << " bytes written\n";

        const std::string full_dump = DocumentToJson(ReadDocument(database, KeyAddress()));
        std::ofstream(dump_file, std::ios::binary | std::ios::trunc) << full_dump;
    }

    Heading(out, "Importing it fresh into a second database at " + copy_path);
    RemoveDatabaseFiles(copy_path);
    {
        Database copy(copy_path);
        copy.Import(export_file, true);
        Heading(out, "JSON dump of the second database");
        out << DocumentToJson(ReadDocument(copy, KeyAddress()));
    }
    out << "(the full dump of the first database is in " << dump_file << ")\n";

    Heading(out, "Checking the structure of " + path);
    const std::size_t problems = CheckDatabase(path, out);
    if (problems != 0) {
        throw ToolError("the check found " + std::to_string(problems) + " problem(s)");
    }
    out << "\nDone. Look around with: brindle --db " << path << " tree --props\n";
}

}  // namespace

void AddDemoCommand(CLI::App& app, ToolContext& context) {
    CLI::App* demo = app.add_subcommand(
        "demo", "Build a small example database, show it, export, import, dump and check it");
    demo->callback([&context] { RunDemo(context); });
}

}  // namespace brindle::tool
