// Option parser on arbitrary bytes: "name\0value" split at the first NUL.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <string>

#include "glyphwipe.h"
#include "core/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string in((const char *)data, size);
    size_t nul = in.find('\0');
    std::string name = nul == std::string::npos ? in : in.substr(0, nul);
    std::string value = nul == std::string::npos ? "" : in.substr(nul + 1);
    value = value.substr(0, value.find('\0'));

    float t = gw_engine.opt.threshold;
    int32_t r = gw_engine.opt.inpaint_radius;
    int rc = glyphwipe_set_option(name.c_str(), value.c_str());
    // An accepted value is in range; a rejected one changes nothing.
    if (rc == 0) {
        if (!(gw_engine.opt.threshold == t || (gw_engine.opt.threshold > 0.0f && gw_engine.opt.threshold < 1.0f)))
            __builtin_trap();
        if (gw_engine.opt.inpaint_radius < 0 || gw_engine.opt.inpaint_radius > 128)
            __builtin_trap();
    } else {
        if (memcmp(&gw_engine.opt.threshold, &t, sizeof t) != 0 || gw_engine.opt.inpaint_radius != r)
            __builtin_trap();
        if (glyphwipe_last_error()[0] == '\0')
            __builtin_trap();
    }
    if (strcmp(gw_engine.opt.device, "cpu") != 0 && gw_engine.opt.device[0] != '\0')
        __builtin_trap();
    return 0;
}
