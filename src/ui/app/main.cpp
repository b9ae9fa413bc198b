#include "ui/app/BrimolavetrixApp.h"

int main(int argc, char** argv) {
    brimo::ui::BrimolavetrixApp app(argc, argv);
    return app.run();
}
