// tesmira_build_data <models folder> <media folder> <output folder>: builds the data folder.
#include <exception>
#include <iostream>

#include "tools/models/data_builder.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: " << argv[0] << " <models folder> <media folder> <output folder>\n";
    return 2;
  }
  try {
    tesmira::models::buildDataFolder({argv[1], argv[2]}, argv[3]);
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
