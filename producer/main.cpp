#include "producer/producer_main.h"

int main(int argc, char** argv) { return tesmira::runProducer(argc, argv); }
