#include "convert/conversion.h"

#include "platform/contenthash.h"
#include "platform/fileio.h"

FileWriter& WriterOf(const ConvertOptions& options) {
  return options.Writer != nullptr ? *options.Writer : SystemFileWriter();
}

const FileClock& ClockOf(const ConvertOptions& options) {
  return options.Clock != nullptr ? *options.Clock : SystemFileClock();
}
