#include "widgets/QtHost.h"

int main(int argc, char** argv) {
    return virelon::widgets::runApplication(argc, argv);
}
