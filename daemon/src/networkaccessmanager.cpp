#include "networkaccessmanager.h"

#include <QNetworkAccessManager>

namespace Corvane {

QNetworkAccessManager *networkAccessManager()
{
    static QNetworkAccessManager manager;
    return &manager;
}

} // namespace Corvane
