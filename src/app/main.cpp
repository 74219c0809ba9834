#include "app/app.h"

int main(int argc, char** argv)
{
    return telvane_main(argc, argv);
}
