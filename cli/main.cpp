// glyphwipe: command-line front end of the library. Reads the command line
// and runs the command.
#include "cli.h"

#include <string>

#include "glyphwipe.h"

int main(int argc, char **argv)
{
    Cli c;
    c.models = c.threshold = c.radius = c.unclip = c.mask = c.detect_scale = c.temporal = NULL;
    c.plain = 0;
    c.band_top = c.band_bottom = c.has_band = 0;
    c.at = c.label = NULL;
    c.quiet = c.verbose = c.force = 0;
    parse_args(argc, argv, &c);
    if (c.args.empty())
        usage_error("no command given");

    std::string cmd = c.args[0];
    if (c.has_band && cmd != "clean-video" && cmd != "batch" && cmd != "preview" && cmd != "detect")
        usage_error("--band applies to clean-video, batch, preview and detect");
    if (c.at && cmd != "preview")
        usage_error("--at applies to preview only");
    set_ffmpeg_log(c.verbose);
    install_signal_handlers();
    if (cmd == "detect")
        return cmd_detect(&c);
    if (cmd == "clean" || cmd == "clean-video")
        return cmd_clean(&c, cmd == "clean-video");
    if (cmd == "batch")
        return cmd_batch(&c);
    if (cmd == "preview")
        return cmd_preview(&c);
    if (cmd == "demo")
        return cmd_demo(&c);
    if (cmd == "help") {
        usage_full();
        return EXIT_OK;
    }
    usage_error("unknown command '%s'", cmd.c_str());
    return EXIT_USAGE;
}
