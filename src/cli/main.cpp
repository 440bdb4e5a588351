#include <iconv.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <csignal>

#include "cli/cli.h"
#include "cli/remote.h"
#include "common/strings.h"
#include "common/text.h"

using namespace harrow;

int main(int argc, char** argv) {
    // A target over the file-size limit must fail the write (EFBIG, said as a full target), not
    // kill the run with a partial file and no word.
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app{"harrow-cli: list, read and recover files of FAT, exFAT and NTFS volumes"};
    app.require_subcommand(1);
    app.fallthrough();  // global options may also follow the command

    std::string lang, codepage, passwordFile, server;
    std::vector<std::string> drives;
    app.add_option("--lang", lang, "language of messages")->check(CLI::IsMember({"zh", "en"}));
    app.add_option("--drive", drives, "drive letter for a device or file: X=PATH")->type_name("X=PATH");
    app.add_option("--codepage", codepage, "OEM code page of short names (default CP437, CP936 in a zh locale)");

    cli::Options opt;
    std::string offsetText;
    app.add_option("--offset", offsetText, "byte offset of the volume inside SOURCE (a partition of a disk image)")
        ->type_name("BYTES");
    app.add_option("--password-file", passwordFile,
                   "harrowd's password, the first line of FILE (else HARROW_PASSWORD, else a prompt)")
        ->type_name("FILE");
    std::string source, address;

    auto* drivesCmd = app.add_subcommand("drives", "the drive table: letter, type, label, path");
    drivesCmd->add_flag("--json", opt.json, "one JSON document on stdout");
    drivesCmd->add_option("--server", server, "the drives harrowd serves on HOST instead")->type_name("HOST[:PORT]");

    auto* infoCmd = app.add_subcommand("info", "drive information");
    infoCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    infoCmd->add_flag("--json", opt.json, "one JSON document on stdout");

    auto* lsCmd = app.add_subcommand("ls", "list a directory");
    lsCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    lsCmd->add_option("ITEM", address, "/A/B, @CLUSTER or @CLUSTER/A/B (default: the root)");
    lsCmd->add_flag("-r", opt.recursive, "descend into every listed directory");
    lsCmd->add_option("--deleted", opt.deleted, "list deleted entries")->check(CLI::IsMember({"show", "hide"}));
    lsCmd->add_option("--dir-fat", opt.dirFat, "FAT copy that directory chains follow: 1..n or none");
    lsCmd->add_flag("--scan", opt.scanFirst, "scan the volume first: lost directories go on where the scan finds they do");
    lsCmd->add_flag("--json", opt.json, "one JSON document on stdout");

    auto* catCmd = app.add_subcommand("cat", "write an item's bytes to stdout");
    catCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    catCmd->add_option("ITEM", address, "/A/B/FILE, @CLUSTER or @CLUSTER/A/B")->required();
    catCmd->add_option("--fat", opt.fat, "FAT copy to read through: 1..n or none");
    catCmd->add_flag("--scan", opt.scanFirst, "scan the volume first: lost directories go on where the scan finds they do");
    catCmd->add_flag("--force-fat", opt.forceFat, "read through the chosen FAT copy even where it does not fit the file");

    auto* findCmd = app.add_subcommand("find", "search the volume, deleted entries included, for items by name, type, state, size and date");
    findCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    findCmd->add_option("ITEM", address, "the directory to search below (default: the whole volume, and with --scan what only the scan finds)");
    findCmd->add_option("--name", opt.names, "name pattern, any letter case: * ? [a-z] (repeatable: any of them)")
        ->type_name("GLOB")
        ->allow_extra_args(false);
    findCmd->add_option("--type", opt.type, "f: files only, d: directories only")->check(CLI::IsMember({"f", "d"}));
    auto* deletedFlag = findCmd->add_flag("--deleted", opt.deletedOnly, "deleted items only, and what deleted directories hold");
    findCmd->add_flag("--live", opt.liveOnly, "items neither deleted nor found only by the scan")->excludes(deletedFlag);
    findCmd->add_option("--size", opt.sizes, "files of at least (+N), at most (-N) or exactly N bytes; units c k M G T (repeatable)")
        ->type_name("RANGE")
        ->allow_extra_args(false);
    findCmd->add_option("--newer", opt.newer, "dated at or after DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM)")->type_name("DATE");
    findCmd->add_option("--older", opt.older, "dated before DATE")->type_name("DATE");
    findCmd->add_flag("--intact", opt.intact, "files whose clusters look intact: their chain fits in every FAT copy, or all are free");
    findCmd->add_flag("--scan", opt.scanFirst, "scan the volume first, and search what only the scan finds too");
    findCmd->add_flag("--json", opt.json, "one JSON document on stdout");

    std::vector<std::string> saveItems;
    auto* scanCmd = app.add_subcommand("scan", "search the whole volume for lost directories (FAT) or file records (NTFS)");
    scanCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    scanCmd->add_option("--skip", opt.skips, "clusters not to read: FIRST-LAST (repeatable)");
    scanCmd->add_flag("--no-skip-bad", opt.noSkipBad, "read clusters the FAT marks bad as well");
    scanCmd->add_option("--on-read-error", opt.onReadError,
                        "a cluster that cannot be read: ask (on a terminal, else stop), continue, stop")
        ->check(CLI::IsMember({"ask", "continue", "stop"}));
    scanCmd->add_option("--list", opt.list, "list to print (default all-dirs on FAT, all-files on NTFS)")
        ->check(CLI::IsMember({"search-root", "lost", "all-dirs", "all-files"}));
    scanCmd->add_flag("--json", opt.json, "one JSON document on stdout");

    auto* saveCmd = app.add_subcommand("save", "copy items out of the volume into a folder");
    saveCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    saveCmd->add_option("ITEM", saveItems, "/A/B, @CLUSTER or @CLUSTER/A/B");
    saveCmd->add_option("--from-list", opt.fromList, "save the ITEMs FILE names, one a line (- for standard input), as find prints them")
        ->type_name("FILE");
    saveCmd->add_option("--to", opt.to, "target folder (made if missing)")->required();
    saveCmd->add_option("--fat", opt.fat, "FAT copy files are read through: 1..n or none");
    saveCmd->add_option("--dir-fat", opt.dirFat, "FAT copy that directory chains follow: 1..n or none");
    saveCmd->add_flag("--force-fat", opt.forceFat, "use the chosen FAT copy even where it does not fit a file");
    saveCmd->add_flag("--scan", opt.scanFirst, "scan the volume first: lost directories go on where the scan finds they do");
    saveCmd->add_flag("-r", opt.recursive, "also save the contents of directories, recursively");
    saveCmd->add_option("--overwrite", opt.overwrite, "existing files: ask (on a terminal), all, none")
        ->check(CLI::IsMember({"ask", "all", "none"}));
    saveCmd->add_flag("--json", opt.json, "one JSON document on stdout");

    auto* imageCmd = app.add_subcommand("image", "write a range of clusters, with the boot sector and system area, into an image file");
    imageCmd->add_option("SOURCE", source, "block device, image file, X: or harrowd://HOST[:PORT]/X")->required();
    imageCmd->add_option("--clusters", opt.clusters, "first and last cluster to save")->required()->type_name("FIRST-LAST");
    imageCmd->add_option("--out", opt.out, "the image file to write")->required()->type_name("FILE.dsk");
    imageCmd->add_flag("--no-skip-bad", opt.noSkipBad, "read clusters the FAT marks bad as well");
    imageCmd->add_option("--overwrite", opt.overwrite, "an existing FILE.dsk: ask (on a terminal), all (replace it), none")
        ->check(CLI::IsMember({"ask", "all", "none"}));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return cli::kBadSource;
    }

    if (!lang.empty()) setLanguage(lang == "en" ? Lang::En : Lang::Zh);
    if (!offsetText.empty()) {
        auto [end, ec] = std::from_chars(offsetText.data(), offsetText.data() + offsetText.size(), opt.offset);
        if (ec != std::errc{} || end != offsetText.data() + offsetText.size()) {
            cli::printError("--offset takes a byte count from 0 to 18446744073709551615, not " + offsetText);
            return cli::kBadSource;
        }
    }
    if (!codepage.empty()) {
        // A name iconv does not know would leave every short name with high bytes unreadable.
        iconv_t cd = ::iconv_open("UTF-8", codepage.c_str());
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            cli::printError("unknown code page: " + codepage + " (for example CP437, CP850, CP936)");
            return cli::kBadSource;
        }
        ::iconv_close(cd);
        setOemCodePage(codepage);
    }
    for (const auto& assignment : drives) {
        if (!DriveTable::global().addAssignments(assignment)) {
            cli::printError("--drive wants X=PATH, not " + assignment);
            return cli::kBadSource;
        }
    }

    cli::CliPrompts prompts;
    prompts.onReadError = opt.onReadError;
    remote::RemoteSources sources(prompts);
    cli::useRemoteSources(sources, passwordFile);
    CQUIDNEYDoc doc(prompts, sources);
    if (*drivesCmd) return server.empty() ? cli::cmdDrives(opt) : cli::cmdRemoteDrives(server, opt);
    if (*infoCmd) return cli::cmdInfo(doc, source, opt);
    if (*lsCmd) return cli::cmdLs(doc, source, address, opt);
    if (*catCmd) return cli::cmdCat(doc, source, address, opt);
    if (*scanCmd) return cli::cmdScan(doc, source, opt);
    if (*findCmd) return cli::cmdFind(doc, source, address, opt);
    if (*saveCmd) return cli::cmdSave(doc, source, saveItems, opt);
    if (*imageCmd) return cli::cmdImage(doc, source, opt);
    return cli::kBadSource;
}
