"""The work of each role. A job is a generator: it changes the transaction's properties, emits
its signals, and yields the seconds to wait before it goes on. Returning ends the transaction
with success; raising Failure ends it with ErrorCode and Finished. The engine may drop a job
at any yield (Cancel), so what a cancelled transaction must not leave behind comes after the
last yield. What PackageKit announces only after a successful Finished goes into
tx.after_success."""

from gi.repository import GLib

from . import enums
from .packagesystem import (Failure, PSEUDO_DOWNLOAD, PSEUDO_INSTALL, PSEUDO_REMOVE,
                            SIZE_QUERY_PREFIX)

DOWNLOAD_STEP = 5  # percent


class JobContext:
    def __init__(self, service, tx, fault):
        self.service = service
        self.tx = tx
        self.fault = fault

    @property
    def system(self):
        # Looked up at each use: the control interface may replace the system meanwhile.
        return self.service.system

    def duration(self, key):
        return self.system.duration(key)


def _updates_changed(ctx):
    # PackageKit tells its clients a moment after the transaction has gone.
    def emit():
        ctx.service.daemon.UpdatesChanged()
        return False
    GLib.timeout_add(100, emit)


def refresh_cache(ctx, force):
    ctx.tx.update(Status=enums.STATUS_REFRESH_CACHE, Percentage=0)
    yield ctx.duration('RefreshCache') / 2
    # Writing the new metadata cannot be interrupted (the dummy backend's last 20 % neither).
    ctx.tx.update(AllowCancel=False, Percentage=50)
    ctx.tx.after_success.append(lambda: _updates_changed(ctx))
    yield ctx.duration('RefreshCache') / 2
    ctx.tx.update(Percentage=100)


def resolve(ctx, filters, names):
    ctx.tx.update(Status=enums.STATUS_QUERY)
    yield ctx.duration('Resolve')
    ctx.tx.emit_packages(ctx.system.resolve(names, filters))
    ctx.tx.update(Percentage=100)


def get_details(ctx, package_ids):
    ctx.tx.update(Status=enums.STATUS_QUERY)
    yield ctx.duration('GetDetails')
    for package_id in package_ids:
        pkg = ctx.system.details(package_id)
        ctx.tx.emit_details(package_id, size=pkg.size, summary=pkg.summary,
                            description=pkg.summary)
    ctx.tx.update(Percentage=100)


def get_repo_list(ctx, filters):
    ctx.tx.update(Status=enums.STATUS_QUERY)
    yield ctx.duration('GetRepoList')
    for repo in ctx.system.repositories:
        ctx.tx.RepoDetail(repo.id, repo.description, repo.enabled)


def repo_enable(ctx, repo_id, enabled):
    ctx.tx.update(Status=enums.STATUS_REQUEST)
    yield ctx.duration('RepoEnable')
    ctx.system.enable_repository(repo_id, enabled)

    def announce():
        ctx.service.daemon.RepoListChanged()
        _updates_changed(ctx)
    ctx.tx.after_success.append(announce)


def upgrade_system(ctx, flags, distro_id, kind):
    """A simulation reports the plan (or, for the size-query distro id, its sizes as Details of
    pseudo packages); otherwise the packages are downloaded, and installed too unless the
    upgrade is minimal or download-only."""
    tx = ctx.tx
    size_query = distro_id.startswith(SIZE_QUERY_PREFIX)
    configuration = distro_id[len(SIZE_QUERY_PREFIX):] if size_query else distro_id
    tx.update(Status=enums.STATUS_DEP_RESOLVE)
    yield ctx.duration('UpgradeSystem')
    plan = ctx.system.plan(configuration)

    if flags & enums.FLAG_SIMULATE:
        if size_query:
            tx.emit_details(PSEUDO_DOWNLOAD, size=plan.download_size)
            tx.emit_details(PSEUDO_INSTALL, size=plan.install_size)
            tx.emit_details(PSEUDO_REMOVE, size=plan.remove_size)
        else:
            tx.emit_packages(
                [(enums.INFO_UPDATING, p.package_id(), p.summary) for p in plan.updating]
                + [(enums.INFO_INSTALLING, p.package_id(), p.summary) for p in plan.installing]
                + [(enums.INFO_REMOVING, p.package_id('installed'), p.summary)
                   for p in plan.removing])
        return
    if size_query:
        raise Failure(enums.ERROR['NotSupported'], 'Sizes are only reported by a simulation')

    downloads = plan.downloads()
    step_time = ctx.duration('download') * DOWNLOAD_STEP / 100
    tx.update(Status=enums.STATUS_DOWNLOAD, DownloadSizeRemaining=plan.download_size,
              Percentage=0)
    announced = 0
    for percent in range(0, 101, DOWNLOAD_STEP):
        if ctx.fault and percent >= ctx.fault.at_percent:
            raise ctx.fault.failure()
        # Each package is announced when the download reaches its share.
        while announced < len(downloads) and announced * 100 <= percent * len(downloads):
            pkg = downloads[announced]
            tx.emit_packages([(enums.INFO_DOWNLOADING, pkg.package_id(), pkg.summary)])
            announced += 1
        # The remaining size first, so that the percentage's signal carries the new figure.
        tx.update(DownloadSizeRemaining=plan.download_size * (100 - percent) // 100,
                  Percentage=percent)
        if percent < 100:
            yield step_time
    ctx.system.record_download(downloads)

    if kind != enums.UPGRADE_KIND_MINIMAL and not flags & enums.FLAG_ONLY_DOWNLOAD:
        # Like any backend's package manager run, the install phase cannot be interrupted;
        # PackageKit takes a Cancel all the same.
        tx.update(Status=enums.STATUS_UPDATE, AllowCancel=False)
        yield ctx.duration('install')
        ctx.system.apply(plan)


def foreign(ctx, duration):
    ctx.tx.update(Status=enums.STATUS_RUNNING)
    yield duration
