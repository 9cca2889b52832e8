#include "format/tool.h"

#include "common/bus/hvservice.h"
#include "common/bus/io_handle.h"
#include "common/platform/root.h"

namespace orv {

std::string run_tool(const std::string& tool,
                     const std::vector<std::string>& args, ToolStream stream) {
  IoHandle collected(hv_io_create());
  if (!collected) return "";

  // argv wants mutable texts; keep them in copies that outlive the run.
  std::vector<std::string> texts;
  texts.reserve(args.size() + 1);
  texts.push_back(root_path(tool));
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(texts.size() + 1);
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  hv_io_t* out = stream == ToolStream::kOutput ? collected.get() : nullptr;
  hv_io_t* err = stream == ToolStream::kError ? collected.get() : nullptr;
  if (hv_io_execv(nullptr, out, err, argv.data()) < 0) return "";
  return std::string(hv_io_read(collected.get(), 0),
                     hv_io_size(collected.get()));
}

}  // namespace orv
