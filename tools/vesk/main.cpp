// vesk: the command-line tool over the data-source library.
//
// Exit status: 0 success, 1 an error raised by the library (or an unreadable
// file), 2 bad usage; import and convert interrupted by SIGINT, SIGTERM or
// SIGHUP remove their temporary file and exit with 128 + the signal's number.
// Errors are one line on stderr; library errors end with their message number
// in square brackets.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <vector>

#include <vesk/version.h>

#include "commands.h"
#include "writing.h"
#include "errortext.h"
#include "vesk_assert.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

// The password may come from the environment instead (the option wins), so
// that it stays out of shell history and process lists.
constexpr const char* kPasswordVariable = "VESK_PASSWORD";

// One command: its CLI11 subcommand and what runs when it is chosen. The
// writing commands (import, convert) register the same way.
struct Command {
    CLI::App* app;
    std::function<int()> run;
};

// The password of a file to read. Given in the environment, it is used only
// for encrypted files, so a password kept there does not stop plain files
// from opening.
void AddPasswordOption(CLI::App& app, vesk::FileOptions& options, const char* description) {
    CLI::Option* option = app.add_option("--password", options.password, description);
    app.parse_complete_callback([&options, option] {
        const char* environment = std::getenv(kPasswordVariable);
        if (option->count() > 0 || !environment || !*environment) return;
        options.password = environment;
        options.passwordFromEnvironment = true;
    });
}

void AddFileOptions(CLI::App& app, vesk::FileOptions& options) {
    app.add_option("FILE", options.file, "System file to read")->required();
    AddPasswordOption(app, options, "Password of an encrypted file (default: $VESK_PASSWORD)");
}

int UsageFailure(const std::string& message) {
    std::fprintf(stderr, "vesk: %s\nRun 'vesk --help' for usage.\n", message.c_str());
    return kExitUsage;
}

int Failure(const std::string& file, const std::string& message) {
    std::fprintf(stderr, "vesk: %s%s%s\n", file.c_str(), file.empty() ? "" : ": ", message.c_str());
    return kExitError;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reads and writes system files: shows their dictionary, prints their cases as CSV, checks them, "
                 "describes their values, writes a codebook, imports CSV, converts.",
                 "vesk"};
    app.require_subcommand(1);
    app.fallthrough(false);
    app.set_version_flag("--version", "vesk " VESK_VERSION_STRING, "Print the version and exit");

    vesk::InfoOptions info;
    vesk::CatOptions cat;
    vesk::FileOptions verify;
    std::string rows;
    std::vector<Command> commands;

    CLI::App* infoApp = app.add_subcommand("info", "Show the dictionary and the file's properties");
    AddFileOptions(*infoApp, info);
    infoApp->add_flag("--json", info.json, "One JSON object instead of the table");
    commands.push_back({infoApp, [&] { return vesk::RunInfo(info); }});

    CLI::App* catApp = app.add_subcommand("cat", "Print the cases as CSV (RFC 4180), a header line of names first");
    AddFileOptions(*catApp, cat);
    catApp->add_option("--rows", rows, "Only rows FIRST to LAST (0-based, inclusive)")->type_name("FIRST:LAST");
    catApp->add_option("--vars", cat.vars, "Only these variables, in this order")
        ->delimiter(',')
        ->type_name("NAME,...");
    catApp->add_flag("--formatted", cat.formatted,
                     "Numbers with their print format's decimals, dates and times in ISO 8601");
    catApp->add_flag("--labels", cat.labels, "A value's label in place of the value where it has one");
    catApp->add_option("--delimiter", cat.delimiter, "Field delimiter: ',' (default), tab, ';', '|' or any character")
        ->type_name("D");
    commands.push_back({catApp, [&] {
                            if (!rows.empty() || catApp->count("--rows")) cat.rows = vesk::ParseRowRange(rows);
                            return vesk::RunCat(cat);
                        }});

    CLI::App* verifyApp = app.add_subcommand("verify", "Read every case and print the number read");
    AddFileOptions(*verifyApp, verify);
    commands.push_back({verifyApp, [&] { return vesk::RunVerify(verify); }});

    vesk::DescribeOptions describe;
    CLI::App* describeApp = app.add_subcommand(
        "describe", "Read every case once and summarise each variable: counts, mean, sd, min, max, histogram, "
                    "most frequent values");
    AddFileOptions(*describeApp, describe);
    describeApp->add_option("--vars", describe.vars, "Only these variables, in this order")
        ->delimiter(',')
        ->type_name("NAME,...");
    describeApp->add_flag("--json", describe.json, "One JSON object instead of the text");
    commands.push_back({describeApp, [&] { return vesk::RunDescribe(describe); }});

    vesk::CodebookOptions codebook;
    CLI::App* codebookApp = app.add_subcommand(
        "codebook", "Write one self-contained HTML page: the dataset, every variable's metadata, figures and chart");
    AddFileOptions(*codebookApp, codebook);
    codebookApp->add_option("OUT.html", codebook.out, "HTML file to write (replaced only on success)")->required();
    commands.push_back({codebookApp, [&] { return vesk::RunCodebook(codebook); }});

    vesk::ImportOptions import;
    CLI::App* importApp = app.add_subcommand("import", "Make a system file from a CSV file with a header line of names");
    importApp->add_option("CSVFILE", import.csv, "CSV file (RFC 4180) to read; - for standard input")->required();
    importApp->add_option("OUTFILE", import.out, "System file to write (replaced only on success)")->required();
    importApp->add_option("--compression", import.compression, "none, bytecode (default) or zlib")
        ->type_name("none|bytecode|zlib");
    importApp->add_option("--password", import.password, "Encrypt the new file with this password (default: "
                                                          "$VESK_PASSWORD)")
        ->envname(kPasswordVariable);
    importApp->add_option("--label", import.label, "Dataset label (at most 64 bytes)");
    importApp->add_option("--delimiter", import.delimiter, "Field delimiter: , (default), tab, ;, | or any one ASCII "
                                                           "character; a *.tsv file defaults to tab")
        ->type_name("D");
    importApp->add_option("--encoding", import.encoding, "Encoding of the CSV file (default UTF-8; a BOM is skipped)")
        ->type_name("NAME");
    importApp->add_flag("--no-header", import.noHeader, "The first line is data; columns are named v1, v2, ...");
    importApp->add_option("--dict", import.dict, "Dictionary changes: JSON in the schema of info --json, any subset")
        ->type_name("DICT.json");
    commands.push_back({importApp, [&] {
                            import.hasLabel = importApp->count("--label") > 0;
                            vesk::RemoveTemporaryFilesOnSignals();
                            return vesk::RunImport(import);
                        }});

    vesk::ConvertOptions convert;
    CLI::App* convertApp = app.add_subcommand("convert", "Rewrite a system file with another compression or password");
    convertApp->add_option("INFILE", convert.file, "System file to read")->required();
    convertApp->add_option("OUTFILE", convert.out, "System file to write (replaced only on success)")->required();
    AddPasswordOption(*convertApp, convert, "Password of an encrypted input file (default: $VESK_PASSWORD)");
    convertApp->add_option("--compression", convert.compression, "none, bytecode or zlib (default: the input's)")
        ->type_name("none|bytecode|zlib");
    convertApp->add_option("--out-password", convert.outPassword, "Encrypt the new file with this password");
    convertApp->add_option("--dict", convert.dict, "Dictionary changes: JSON in the schema of info --json, any subset")
        ->type_name("DICT.json");
    commands.push_back({convertApp, [&] {
                            vesk::RemoveTemporaryFilesOnSignals();
                            return vesk::RunConvert(convert);
                        }});

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        return UsageFailure(e.what());
    }

    std::string file;
    try {
        for (const Command& c : commands) {
            if (!c.app->parsed()) continue;
            if (const CLI::Option* o = c.app->get_option_no_throw("FILE")) file = o->as<std::string>();
            return c.run();
        }
        return UsageFailure("no command given");
    } catch (const vesk::UsageError& e) {
        return UsageFailure(e.what());
    } catch (const VeskError& e) {
        // The library's text names the file itself.
        return Failure("", e.what());
    } catch (const VESK_AssertFailed& e) {
        return Failure(file, std::string("internal error: assertion '") + e.Condition() + "' failed in " +
                                 e.SourceFile() + " line " + std::to_string(e.LineNumber()));
    } catch (const std::bad_alloc&) {
        return Failure(file, "out of memory");
    } catch (const std::exception& e) {
        return Failure(file, e.what());
    }
}
