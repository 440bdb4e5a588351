#include "ui/quidney_app.h"

int main(int argc, char** argv) { return harrow::gui::runHarrow(argc, argv); }
