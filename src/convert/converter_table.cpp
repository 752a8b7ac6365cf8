#include "convert/converter_table.h"

namespace efi {

// Every row empty: data travel exactly as the host gives and receives them.
const ConverterRow CommandConverterTable[CONVERTER_ROW_COUNT] = {};

}  // namespace efi
