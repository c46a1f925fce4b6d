// velkor-index: the command-line tool over the library.
//
// This file declares the commands and their options (CLI11 gives every
// command the same --help, error messages and completion) and turns what
// goes wrong into exit codes: 0 success, 1 failure, 2 usage error.
#include <cstdio>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "tool_commands.h"

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#endif

namespace velkor_tool {

namespace {

const char kSearchHelp[] =
    "Lists the documents that hold every WORD (with --any: at least one), best first,\n"
    "as 'SCORE<TAB>PATH'. The score is BM25 without document lengths (k1 = 1.2):\n"
    "each word adds ln(1 + (N - n + 0.5) / (n + 0.5)) * tf * 2.2 / (tf + 1.2), where\n"
    "tf is its count in the document, n the number of documents holding it and N the\n"
    "number of indexed documents. Equal scores are listed by path. Nothing is\n"
    "printed when no document matches.";

const char kAddHelp[] =
    "Indexes each text file; a folder is walked recursively in name order. Each file\n"
    "is registered under its path as given (folder/name); a path indexed before is\n"
    "replaced. Files with a NUL byte in their first 4 KiB are binary and left out,\n"
    "one line each on standard error. The run works on a copy of FILE and renames\n"
    "it over FILE after the save, so a failed run leaves FILE as it was.";

const char kCompactHelp[] =
    "Writes the same index (every path id, creation time, path, token and count)\n"
    "into a new file without idle slots, each entry in one slot, in the order a bulk\n"
    "build makes them. The new file is checked before it replaces FILE (or becomes\n"
    "OUT, which must not exist); a failed run leaves FILE as it was.";

const char kRecoverHelp[] =
    "Salvages what DAMAGED still holds into OUT (which must not exist): every token\n"
    "entry whose slot chain is whole, with its path ids and counts, and the path\n"
    "names of whatever survives of the registry. A path id whose name was lost is\n"
    "registered as '#ID' with time 0. Prints what could not be saved; OUT is\n"
    "checked before it is kept. Exit 0 when OUT was written, whatever was lost.";

std::string completion_script(const CLI::App& app) {
  std::string commands, cases;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    commands += (commands.empty() ? "" : " ") + command->get_name();
    std::string options;
    for (const CLI::Option* option : command->get_options()) {
      for (const std::string& name : option->get_lnames()) options += "--" + name + " ";
      for (const std::string& name : option->get_snames()) options += "-" + name + " ";
    }
    if (!options.empty()) options.pop_back();
    cases += "    " + command->get_name() + ") options=\"" + options + "\" ;;\n";
  }
  return "# bash completion for velkor-index: source <(velkor-index completion)\n"
         "_velkor_index() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} options\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    COMPREPLY=($(compgen -W \"" +
         commands +
         " --help --version\" -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  case ${COMP_WORDS[1]} in\n" +
         cases +
         "    *) options= ;;\n"
         "  esac\n"
         "  if [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _velkor_index velkor-index\n";
}

int run(int argc, char** argv) {
  CLI::App app("velkor-index: make, fill, search and check velkor index files.", "velkor-index");
  app.set_version_flag("--version", "velkor-index " VELKOR_VERSION);
  app.require_subcommand(1);
  // On Windows CLI11 would take /name for an option; here it is a path.
  app.allow_windows_style_options(false);
  app.footer("'velkor-index COMMAND --help' describes one command.");
  // Each command runs once the whole command line is parsed.
  std::vector<std::pair<const CLI::App*, std::function<int()>>> commands;

  create_options create;
  CLI::App* create_cmd = app.add_subcommand("create", "make an empty index file");
  create_cmd->add_option("FILE", create.file, "index file")->required();
  create_cmd->add_flag("--force", create.force, "empty FILE if it exists");
  commands.emplace_back(create_cmd, [&] { return create_command(create); });

  add_options add;
  CLI::App* add_cmd = app.add_subcommand("add", "index text files or whole folders");
  add_cmd->footer(kAddHelp);
  add_cmd->add_option("FILE", add.file, "index file")->required();
  add_cmd->add_option("PATH", add.paths, "text files and folders")->required();
  CLI::Option* normalize = add_cmd->add_flag("--normalize", add.normalize,
                                             "index lower-case runs of ASCII letters and digits");
  add_cmd->add_option("--delimiter", add.delimiter, "cut tokens at the string D (default: a blank)")
      ->type_name("D")
      ->excludes(normalize);
  add_cmd->add_flag("--quiet", add.quiet, "no progress bar");
  commands.emplace_back(add_cmd, [&] { return add_command(add); });

  query_options query;
  CLI::App* query_cmd = app.add_subcommand("query", "list the paths holding each token");
  query_cmd->footer("Prints 'TOKEN<TAB>PATH<TAB>COUNT' per path holding each TOKEN.");
  query_cmd->add_option("FILE", query.file, "index file")->required();
  query_cmd->add_option("TOKEN", query.tokens, "tokens, each looked up on its own")->required();
  CLI::Option* json_query = query_cmd->add_flag("--json", query.json, "print JSON");
  query_cmd->add_flag("--ids", query.ids, "print path ids instead of paths");
  query_cmd
      ->add_option("--separator", query.separator,
                   "print the library's raw answer 'id S count S ...'")
      ->type_name("S")
      ->excludes(json_query);
  query_cmd->add_flag("--normalize", query.normalize, "lower-case tokens as add --normalize does");
  commands.emplace_back(query_cmd, [&] { return query_command(query); });

  search_options search;
  CLI::App* search_cmd =
      app.add_subcommand("search", "documents holding all (or any) words, ranked");
  search_cmd->footer(kSearchHelp);
  search_cmd->add_option("FILE", search.file, "index file")->required();
  search_cmd->add_option("WORD", search.words, "words to look for")->required();
  search_cmd->add_flag("--any", search.any, "documents holding any of the words");
  search_cmd->add_option("--limit", search.limit, "list at most N documents")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 31));
  search_cmd->add_flag("--ids", search.ids, "print path ids instead of paths");
  search_cmd->add_flag("--normalize", search.normalize,
                       "lower-case the words and split them as add --normalize does");
  search_cmd->add_flag("--json", search.json, "print JSON");
  commands.emplace_back(search_cmd, [&] { return search_command(search); });

  rm_options rm;
  CLI::App* rm_cmd = app.add_subcommand("rm", "discard paths from the index");
  rm_cmd->add_option("FILE", rm.file, "index file")->required();
  rm_cmd->add_option("PATH", rm.targets, "registered paths (path ids with --id)")->required();
  rm_cmd->add_flag("--id", rm.by_id, "name paths by their ids (as ls prints them)");
  commands.emplace_back(rm_cmd, [&] { return rm_command(rm); });

  listing_options ls;
  CLI::App* ls_cmd = app.add_subcommand("ls", "list registered paths with ids and times");
  ls_cmd->footer("Prints 'ID<TAB>TIME<TAB>PATH'; ids as signed numbers, times in UTC.");
  ls_cmd->add_option("FILE", ls.file, "index file")->required();
  ls_cmd->add_flag("--json", ls.json, "print JSON");
  commands.emplace_back(ls_cmd, [&] { return ls_command(ls); });

  listing_options stats;
  CLI::App* stats_cmd = app.add_subcommand("stats", "print the ten counters by name");
  stats_cmd->add_option("FILE", stats.file, "index file")->required();
  stats_cmd->add_flag("--json", stats.json, "print JSON");
  commands.emplace_back(stats_cmd, [&] { return stats_command(stats); });

  std::string check_file_name;
  CLI::App* check_cmd = app.add_subcommand("check", "check every structure of the file");
  check_cmd->footer(
      "Walks the whole file: header, slot tiling, chains, every entry against its\n"
      "table, the registry and the ending magic. Prints each fault; exits 0 only for\n"
      "a sound file.");
  check_cmd->add_option("FILE", check_file_name, "index file")->required();
  commands.emplace_back(check_cmd, [&] { return check_file(check_file_name); });

  rewrite_options compact;
  CLI::App* compact_cmd = app.add_subcommand("compact", "rewrite an index without idle slots");
  compact_cmd->footer(kCompactHelp);
  compact_cmd->add_option("FILE", compact.file, "index file")->required();
  compact_cmd->add_option("OUT", compact.out, "new index file (default: replace FILE)");
  commands.emplace_back(compact_cmd, [&] { return compact_command(compact); });

  rewrite_options recover;
  CLI::App* recover_cmd = app.add_subcommand("recover", "salvage a damaged index into a new file");
  recover_cmd->footer(kRecoverHelp);
  recover_cmd->add_option("DAMAGED", recover.file, "damaged index file (never changed)")
      ->required();
  recover_cmd->add_option("OUT", recover.out, "new index file")->required();
  commands.emplace_back(recover_cmd, [&] { return recover_command(recover); });

  std::string dump_file_name;
  bool dump_entries = false;
  CLI::App* dump_cmd = app.add_subcommand("dump", "show header, sections and slot chains");
  dump_cmd->add_option("FILE", dump_file_name, "index file")->required();
  dump_cmd->add_flag("--entries", dump_entries, "also decode every token and path entry");
  commands.emplace_back(dump_cmd, [&] { return dump_file(dump_file_name, dump_entries); });

  CLI::App* completion_cmd =
      app.add_subcommand("completion", "print a bash completion script for this tool");
  completion_cmd->footer("Use: source <(velkor-index completion)");
  commands.emplace_back(completion_cmd, [&] {
    std::fputs(completion_script(app).c_str(), stdout);
    return kSuccess;
  });

  // Positionals show as their names alone in the help, without a type.
  app.get_formatter()->label("REQUIRED", "");
  app.get_formatter()->label("TEXT", "");
  if (argc > 1 && argv[1][0] != '-' &&
      app.get_subcommands([&](const CLI::App* c) { return c->check_name(argv[1]); }).empty()) {
    std::fprintf(stderr, "unknown command '%s'\nRun with --help for more information.\n", argv[1]);
    return kUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end the parse this way too, with exit code 0.
    return app.exit(e) == 0 ? kSuccess : kUsage;
  }
  for (const auto& [chosen, run_command] : commands) {
    if (*chosen) return run_command();
  }
  return kUsage;  // not reached: exactly one command is required
}

#if defined(_WIN32)
// The command line as UTF-8, whatever the console's code page: the library
// takes UTF-8 file names, and paths are registered as UTF-8.
std::vector<std::string> utf8_arguments() {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; wide != nullptr && i < count; ++i) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(bytes > 0 ? bytes - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), bytes, nullptr, nullptr);
    args.push_back(std::move(arg));
  }
  LocalFree(wide);
  return args;
}
#endif

}  // namespace

}  // namespace velkor_tool

int main(int argc, char** argv) {
  // Running out of memory, here or in the engine's checker, is a failure
  // with a message like any other, not an abort.
  try {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args = velkor_tool::utf8_arguments();
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    if (!pointers.empty()) {
      return velkor_tool::run(static_cast<int>(pointers.size()), pointers.data());
    }
#endif
    return velkor_tool::run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("velkor-index: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velkor-index: %s\n", e.what());
  }
  return velkor_tool::kFailure;
}
