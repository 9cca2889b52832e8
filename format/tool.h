// Runs one of the appliance's external tools (the media analyser, the media
// library query, the remote mount tool) and collects what it printed.
#ifndef ORV_FORMAT_TOOL_H_
#define ORV_FORMAT_TOOL_H_

#include <string>
#include <vector>

namespace orv {

// Which of a tool's output streams to collect.
enum class ToolStream { kOutput, kError };

// Runs the tool at the fixed platform path `tool` (looked up under the sandbox
// root) with `args` through the bus library, waits for it to end and returns
// everything it wrote to `stream`; the other stream is discarded and standard
// input is empty. A tool that cannot be started gives "". The exit status is
// not looked at: the probes judge the text alone.
std::string run_tool(const std::string& tool,
                     const std::vector<std::string>& args, ToolStream stream);

}  // namespace orv

#endif  // ORV_FORMAT_TOOL_H_
