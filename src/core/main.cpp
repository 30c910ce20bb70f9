#include "core/oam_lifecycle.h"

int main(int argc, char **argv)
{
    return oam_main(argc, argv);
}
