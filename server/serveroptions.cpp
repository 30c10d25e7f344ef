#include "serveroptions.h"

#include "serveroptiontable.h"

#include <CLI/CLI.hpp>

#include <cstdlib>

namespace {

// murmurly-server's command line: its options, and the text of --help.
void DescribeServer(CLI::App& app, CServerOptions& options, std::string& refused)
{
    app.name("murmurly-server");
    app.description("The Murmurly message server.");
    app.footer("The manual page murmurly-server(8) describes each option in full.");
    app.set_help_flag("-h,--help", "show this text");
    // Left to the caller, which names the first one in words of its own.
    app.allow_extras();
    app.get_formatter()->column_width(30);
    AddServerOptions(app, options, refused);
}

// CLI11's reason in one line. A value missing at the end of the line, or
// before the next option, reads as before.
std::string UsageError(const CLI::ParseError& error)
{
    const std::string what = error.what();
    const auto colon = what.find(": ");
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) && colon != std::string::npos && what.size() > 8 &&
        what.compare(what.size() - 8, 8, " missing") == 0)
        return what.substr(0, colon) + " needs a value";
    return what + " (try --help)";
}

} // namespace

std::string ServerUsage()
{
    CServerOptions options;
    std::string refused;
    CLI::App app;
    DescribeServer(app, options, refused);
    return app.help();
}

CParsedOptions ParseServerOptions(const std::vector<std::string>& args)
{
    CParsedOptions parsed;
    CServerOptions& o = parsed.options;
    std::string refused;
    CLI::App app;
    DescribeServer(app, o, refused);
    // CLI11 takes the words last first.
    std::vector<std::string> words(args.rbegin(), args.rend());
    try {
        app.parse(words);
    } catch (const CLI::CallForHelp&) {
        o.help = true;
        return parsed;
    } catch (const CLI::ParseError& error) {
        parsed.error = UsageError(error);
        return parsed;
    }
    if (const auto unknown = app.remaining(); !unknown.empty())
        parsed.error = "unknown argument '" + unknown.front() + "' (try --help)";
    else if (!refused.empty())
        parsed.error = refused;
    else if (o.tlsCert.empty() != o.tlsKey.empty())
        parsed.error = "--tls-cert and --tls-key go together";
    return parsed;
}

std::string DefaultDatabasePath()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.local/share";
    else
        return {};
    return base + "/murmurly/murmurly.db";
}
