#include "filesink.h"

namespace quaverlink {

Sink *makeSink(const OutputConfig &config, const FileTarget &target)
{
    return new FileSink(config, target.path);
}

} // namespace quaverlink
