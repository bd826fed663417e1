#pragma once
// Positions from gpsd, the GPS daemon. A reader thread keeps one connection
// open while the source runs and posts every 2D or 3D fix to the main thread.
// When gpsd cannot be reached (or the connection drops) the observers get one
// kLocationErrorLocationUnknown error and the thread tries again every few
// seconds.
//
// gpsd's reports are read off the socket here, one line each: a line longer
// than 16 KiB or one that is not a JSON object is logged and skipped, and so
// is a position report whose time is not a UTC date and time. A stop ends the
// thread and closes its connection at once, even mid-report.
#include <memory>
#include <string>

#include "platform/location/LocationSource.h"

namespace wharf::platform {

class GpsdLocationSource : public LocationSource, public std::enable_shared_from_this<GpsdLocationSource> {
public:
    static std::shared_ptr<GpsdLocationSource> create(std::string host, std::string port);
    ~GpsdLocationSource() override;

    std::string description() const override;

protected:
    void startDelivery() override;
    void stopDelivery() override;

private:
    GpsdLocationSource(std::string host, std::string port);
    struct Reader;

    const std::string host_;
    const std::string port_;
    std::shared_ptr<Reader> reader_;
};

}  // namespace wharf::platform
