// SPDX-License-Identifier: GPL-3.0-or-later
// Publishing the model's state to its observers as immutable snapshots.
#include <boost/asio/post.hpp>

#include "Corvane/Model/AppModel.hpp"

namespace corvane {

namespace {

bool tunnelIsUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

}  // namespace

void AppModel::publishedFieldChanged() {
    if (publishScheduled_ || !self_) return;
    publishScheduled_ = true;
    boost::asio::post(executor_, [weak = std::weak_ptr<AppModel*>(self_)] {
        if (auto self = weak.lock()) (*self)->publish();
    });
}

std::shared_ptr<const AppSnapshot> AppModel::published() {
    auto s = std::make_shared<AppSnapshot>();
    s->version = version_;
    s->panelURL = panelURL;
    s->email = email;
    s->password = password;
    s->signedIn = signedIn;
    s->busy = busy;
    s->errorMessage = errorMessage;
    s->servers = servers.shared();
    s->exits = exits.shared();
    s->selectedExitId = selectedExitId;
    s->quotaFallbackEntryId = quotaFallbackEntryId;
    s->quotaNotice = quotaNotice;
    s->sites = sites.shared();
    s->siteStatuses = siteStatuses.shared();
    s->disabledSiteIds = disabledSiteIds.shared();
    s->connectedFleet = connectedFleet.shared();
    s->refreshing = refreshing;
    s->smartRouting = smartRouting;
    s->notifications = notifications;
    s->offerFileCredentialStore = offerFileCredentialStore;
    s->pin = pin;
    s->lanShare = lanShare;
    s->sharingOn = sharingOn;
    s->lanAddress = lanAddress;
    s->lanSharePassword = lanSharePassword;
    s->delays = delays.shared();
    s->delayMeasuredAt = delayMeasuredAt.shared();
    s->activeOutbound = activeOutbound;
    s->switchingTo = switchingTo;
    s->tunnelReachable = tunnelReachable;
    s->trafficNow = trafficNow;
    s->trafficTotal = trafficTotal;
    s->trafficHistory = trafficHistory.shared();
    s->update = update;
    s->updateDismissed = updateDismissed;
    s->updateURL = updateURL;
    s->diagnosticsNote = diagnosticsNote;
    s->logLines = logLines.shared();
    s->connectInFlight = connectInFlight;
    s->waitingForNetwork = waitingForNetwork;

    s->status = status();
    s->working = working();
    s->updateBlocksConnecting = updateBlocksConnecting();
    s->tunnelStatus = tunnel.status();
    s->tunnelLastError = tunnel.lastError();
    s->trafficBlocked = tunnel.trafficBlocked();
    s->killSwitch = tunnel.killSwitch();
    s->lockdown = tunnel.lockdown();
    s->localProxy = localProxy;
    s->selectedExit = selectedExit();
    s->entryName = entryName();
    s->exitName = exitName();
    if (tunnelIsUp(tunnel.status()) && !connectedFleet->empty()) {
        s->snapshot = connectedFleet.shared();
    } else if (lastPublished_ && lastPublished_->servers == s->servers && lastPublished_->snapshot &&
               lastPublished_->snapshot != lastPublished_->connectedFleet) {
        s->snapshot = lastPublished_->snapshot;  // the same servers give the same fleet
    } else {
        s->snapshot = std::make_shared<const std::vector<FleetSlot>>(snapshot());
    }
    s->pinChoice = pinChoice();
    return s;
}

void AppModel::publish() {
    publishScheduled_ = false;
    ++version_;
    lastPublished_ = published();
    auto snapshot = lastPublished_;
    auto observers = observers_;  // an observer may subscribe or unsubscribe
    for (auto& [id, observer] : observers) {
        if (observers_.count(id)) observer(snapshot);
    }
}

Subscription AppModel::observe(Observer observer) {
    std::uint64_t id = nextObserver_++;
    observers_[id] = std::move(observer);
    return Subscription([weak = std::weak_ptr<AppModel*>(self_), id] {
        if (auto self = weak.lock()) (*self)->observers_.erase(id);
    });
}

}  // namespace corvane
