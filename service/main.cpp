#include "service/ZELService.h"

int main() {
    zel::CreateProcessObjects();
    int code = zel::RunProgram();
    zel::DestroyProcessObjects();
    return code;
}
