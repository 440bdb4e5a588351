#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "common/strings.h"
#include "common/text.h"

using namespace harrow;

int main(int argc, char** argv) {
    CLI::App app{"harrow-cli: list, read and recover files of FAT and NTFS volumes"};
    app.require_subcommand(1);

    std::string lang, codepage, password;
    std::vector<std::string> drives;
    app.add_option("--lang", lang, "language of messages")->check(CLI::IsMember({"zh", "en"}));
    app.add_option("--drive", drives, "drive letter for a device or file: X=PATH")->type_name("X=PATH");
    app.add_option("--codepage", codepage, "OEM code page of short names (default CP437, CP936 in a zh locale)");
    app.add_option("--password", password, "password of a harrowd server");

    cli::Options opt;
    app.add_option("--offset", opt.offset, "byte offset of the volume inside SOURCE (a partition of a disk image)");
    std::string source, item;

    auto* drivesCmd = app.add_subcommand("drives", "the drive table: letter, type, label, path");
    drivesCmd->add_flag("--json", opt.json, "one JSON document on stdout");

    auto* infoCmd = app.add_subcommand("info", "drive information");
    infoCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    infoCmd->add_flag("--json", opt.json, "one JSON document on stdout");

    auto* lsCmd = app.add_subcommand("ls", "list a directory");
    lsCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    lsCmd->add_option("ITEM", item, "/A/B, @CLUSTER or @CLUSTER/A/B (default: the root)");
    lsCmd->add_flag("-r", opt.recursive, "descend into every listed directory");
    lsCmd->add_option("--deleted", opt.deleted, "list deleted entries")->check(CLI::IsMember({"show", "hide"}));
    lsCmd->add_option("--dir-fat", opt.dirFat, "FAT copy that directory chains follow: 1..n or none");
    lsCmd->add_flag("--json", opt.json, "one JSON document on stdout");

    auto* catCmd = app.add_subcommand("cat", "write an item's bytes to stdout");
    catCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    catCmd->add_option("ITEM", item, "/A/B/FILE, @CLUSTER or @CLUSTER/A/B")->required();
    catCmd->add_option("--fat", opt.fat, "FAT copy to read through: 1..n or none");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return cli::kBadSource;
    }

    if (!lang.empty()) setLanguage(lang == "en" ? Lang::En : Lang::Zh);
    if (!codepage.empty()) setOemCodePage(codepage);
    for (const auto& spec : drives) {
        if (!DriveTable::global().addSpec(spec)) {
            cli::printError("--drive wants X=PATH, not " + spec);
            return cli::kBadSource;
        }
    }

    cli::CliPrompts prompts;
    CQUIDNEYDoc doc(prompts);
    if (*drivesCmd) return cli::cmdDrives(opt);
    if (*infoCmd) return cli::cmdInfo(doc, source, opt);
    if (*lsCmd) return cli::cmdLs(doc, source, item, opt);
    if (*catCmd) return cli::cmdCat(doc, source, item, opt);
    return cli::kBadSource;
}
