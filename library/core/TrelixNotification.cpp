#include "TrelixNotification.h"

TrelixNotification::TrelixNotification()
    : stream(nullptr)
{
}

TrelixNotification::~TrelixNotification() = default;
