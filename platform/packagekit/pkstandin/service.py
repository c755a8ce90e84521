"""The bus side of the stand-in: the daemon object, one object per transaction, the scheduler
that runs them as PackageKit does (system-changing roles one at a time, the rest at once), the
polkit check before the roles that need it, and the control interface through which tests steer
it."""

import bisect
import json
import logging
import random
import time
import traceback

import dbus
import dbus.service
from gi.repository import GLib

from . import enums, jobs
from .packagesystem import ROLE_METHODS, Failure, PackageSystem, ScenarioError

BUS_NAME = 'org.freedesktop.PackageKit'
DAEMON_PATH = '/org/freedesktop/PackageKit'
DAEMON_IFACE = 'org.freedesktop.PackageKit'
TX_IFACE = 'org.freedesktop.PackageKit.Transaction'
CONTROL_PATH = '/org/corvane/PackageKitControl'
CONTROL_IFACE = 'org.corvane.PackageKitControl'

ERROR_PREFIX = 'org.freedesktop.PackageKit.Transaction.'

POLKIT_NAME = 'org.freedesktop.PolicyKit1'
POLKIT_PATH = '/org/freedesktop/PolicyKit1/Authority'
POLKIT_IFACE = 'org.freedesktop.PolicyKit1.Authority'
ACTION_UPGRADE = 'org.freedesktop.packagekit.upgrade-system'
ACTION_REFRESH = 'org.freedesktop.packagekit.system-sources-refresh'
ACTION_CONFIGURE = 'org.freedesktop.packagekit.system-sources-configure'
# What packagekitd's own GError becomes on the bus when polkit cannot be asked.
ENGINE_ERROR = 'org.gtk.GDBus.UnmappedGError.Quark._pk_2dengine_2derror_2dquark.Code6'

log = logging.getLogger('packagekit-standin')

_TYPES = {'u': dbus.UInt32, 't': dbus.UInt64, 's': dbus.String, 'b': dbus.Boolean}


def _typed(signature, value):
    if signature == 'as':
        return dbus.Array([dbus.String(v) for v in value], signature='s')
    return _TYPES[signature](value)


def _ms(seconds):
    return max(0, int(round(seconds * 1000)))


def _word(text, in_list=False):
    if text == '':
        return '""'
    out = []
    for char in text:
        if char == '\\':
            out.append('\\\\')
        elif ord(char) <= 0x20 or ord(char) == 0x7f or (in_list and char == ','):
            out.append(f'\\x{ord(char):02x}')
        else:
            out.append(char)
    return ''.join(out)


def call_line(method, args):
    """One line of the call log: the method and its arguments as words. Numbers in decimal,
    booleans as true/false, a list as its items joined by commas; blanks, control characters
    and (in lists) commas as \\xNN, a backslash doubled, an empty string or list as ""."""
    words = [method]
    for arg in args:
        if isinstance(arg, bool):
            words.append('true' if arg else 'false')
        elif isinstance(arg, int):
            words.append(str(arg))
        elif isinstance(arg, list):
            words.append(','.join(_word(item, True) for item in arg) if arg else '""')
        else:
            words.append(_word(arg))
    return ' '.join(words)


class PropertyObject(dbus.service.Object):
    """An object with read-only properties that announces their changes."""

    INTERFACE = None
    SIGNATURES = {}
    UNREADABLE = ()  # announced in PropertiesChanged but without a value for Get and GetAll

    def __init__(self, conn, path, values):
        super().__init__(conn, path)
        self._values = {name: _typed(sig, values[name]) for name, sig in self.SIGNATURES.items()}

    def value(self, name):
        return self._values[name]

    def update(self, **changes):
        """Sets the properties in the order given; packagekitd announces each change in a
        signal of its own."""
        for name, value in changes.items():
            typed = _typed(self.SIGNATURES[name], value)
            if self._values[name] != typed:
                self._before_change(name)
                self._values[name] = typed
                self._announce(name)

    def _before_change(self, name):
        pass

    def _announce(self, name):
        self._emit_changed((name,))

    def _emit_changed(self, names):
        self.PropertiesChanged(
            self.INTERFACE, dbus.Dictionary({n: self._values[n] for n in names}, signature='sv'),
            dbus.Array([], signature='s'))

    def _check_interface(self, interface):
        if interface not in ('', self.INTERFACE):
            raise dbus.exceptions.DBusException(
                f'No interface {interface}', name='org.freedesktop.DBus.Error.UnknownInterface')

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        self._check_interface(interface)
        if name not in self._values:
            raise dbus.exceptions.DBusException(
                f'No property {name}', name='org.freedesktop.DBus.Error.UnknownProperty')
        if name in self.UNREADABLE:
            raise dbus.exceptions.DBusException(
                f'Property {name} has no value', name='org.freedesktop.DBus.Error.Failed')
        return self._values[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        self._check_interface(interface)
        return dbus.Dictionary({n: v for n, v in self._values.items()
                                if n not in self.UNREADABLE}, signature='sv')

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ssv')
    def Set(self, interface, name, value):
        raise dbus.exceptions.DBusException(
            f'Property {name} is read-only', name='org.freedesktop.DBus.Error.PropertyReadOnly')

    @dbus.service.signal(dbus.PROPERTIES_IFACE, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature='', out_signature='s',
                         path_keyword='object_path', connection_keyword='connection')
    def Introspect(self, object_path, connection):
        xml = dbus.service.Object.Introspect(self, object_path, connection)
        head = f'<interface name="{self.INTERFACE}">\n'
        props = ''.join(f'    <property name="{name}" type="{sig}" access="read"/>\n'
                        for name, sig in self.SIGNATURES.items())
        return xml.replace(head, head + props, 1)


class Transaction(PropertyObject):
    INTERFACE = TX_IFACE
    SIGNATURES = {
        'Role': 'u', 'Status': 'u', 'LastPackage': 's', 'Uid': 'u', 'Sender': 's',
        'Percentage': 'u', 'AllowCancel': 'b', 'CallerActive': 'b', 'ElapsedTime': 'u',
        'RemainingTime': 'u', 'Speed': 'u', 'DownloadSizeRemaining': 't', 'TransactionFlags': 't',
    }
    # packagekitd's getter has no case for it: GetAll leaves it out, and a Get makes GLib abort
    # the daemon, which we answer with an error instead.
    UNREADABLE = ('RemainingTime',)
    # What packagekitd sends together, in one signal, whenever the percentage changes.
    PROGRESS = ('Percentage', 'ElapsedTime', 'RemainingTime', 'Speed', 'DownloadSizeRemaining')

    def __init__(self, service, serial, tid, sender, uid):
        super().__init__(service.bus, tid, {
            'Role': 0, 'Status': enums.STATUS_WAIT, 'LastPackage': '', 'Uid': uid,
            'Sender': sender, 'Percentage': enums.PERCENTAGE_UNKNOWN, 'AllowCancel': True,
            'CallerActive': True, 'ElapsedTime': 0, 'RemainingTime': 0, 'Speed': 0,
            'DownloadSizeRemaining': 0, 'TransactionFlags': 0,
        })
        self.service = service
        self.serial = serial    # creation order, which is also the order of the queue
        self.tid = tid
        self.sender = sender
        self.method = None      # the role method, once called
        self.line = None        # its call-log line; None for a foreign transaction
        # PackageKit's names: new, waiting-for-auth, ready (queued), running, finished; and
        # cancelling, which PackageKit still calls running.
        self.state = 'new'
        self.downloads = False  # a real upgrade, not a simulation
        self.parallel = False   # a foreign transaction that ignores the queue
        self.interactive = False
        self.job_factory = None
        self.job = None
        self.timer = None
        self.started = None
        self.after_success = []  # daemon signals that follow Finished

    @property
    def exclusive(self):
        return int(self.value('Role')) in enums.EXCLUSIVE_ROLES and not self.parallel

    @property
    def state_text(self):
        return 'running' if self.state == 'cancelling' else self.state

    def _before_change(self, name):
        # PackageKit announces the transaction list again, unchanged, whenever a transaction
        # starts or stops being cancellable.
        if name == 'AllowCancel':
            self.service.daemon.list_changed()

    def _announce(self, name):
        self._emit_changed(self.PROGRESS if name == 'Percentage' else (name,))

    def _commit(self, method, args, job_factory, flags=0, downloads=False, action=None):
        if self.state != 'new':
            raise dbus.exceptions.DBusException(
                f'cannot call {method} on transaction {self.tid}: already in state '
                f'{self.state_text}', name=ERROR_PREFIX + 'InvalidState')
        self.method = method
        self.line = call_line(method, args)
        self.downloads = downloads
        self.job_factory = job_factory
        self.service.log_call(self.line)
        self.update(Role=enums.ROLE[method])
        self.update(TransactionFlags=flags)
        if action:
            self.service.engine.authorize(self, action)
        else:
            self.service.engine.commit(self)

    @dbus.service.method(TX_IFACE, in_signature='as')
    def SetHints(self, hints):
        for hint in hints:
            key, _, value = str(hint).partition('=')
            if key == 'supports-plural-signals':
                # Accepted, but as with packagekitd's backends packages still come one a signal.
                if value != 'true':
                    raise dbus.exceptions.DBusException(
                        f'supports-plural-signals hint expects true only, not {value}',
                        name=ERROR_PREFIX + 'NotSupported')
            elif key == 'interactive':
                self.interactive = value == 'true'

    @dbus.service.method(TX_IFACE, in_signature='', async_callbacks=('reply', 'error'))
    def Cancel(self, reply, error):
        role = int(self.value('Role'))
        self.service.log_call(call_line('Cancel', [enums.ROLES[role]] if role else []))
        try:
            self.service.engine.cancel(self, reply)
        except dbus.exceptions.DBusException as refusal:
            error(refusal)

    @dbus.service.method(TX_IFACE, in_signature='tsu')
    def UpgradeSystem(self, flags, distro_id, kind):
        flags, distro_id, kind = int(flags), str(distro_id), int(kind)
        # Only an upgrade that changes the system needs the administrator's consent.
        changes_system = not flags & (enums.FLAG_SIMULATE | enums.FLAG_ONLY_DOWNLOAD)
        self._commit('UpgradeSystem', [flags, distro_id, kind],
                     lambda ctx: jobs.upgrade_system(ctx, flags, distro_id, kind),
                     flags=flags, downloads=not flags & enums.FLAG_SIMULATE,
                     action=ACTION_UPGRADE if changes_system else None)

    @dbus.service.method(TX_IFACE, in_signature='b')
    def RefreshCache(self, force):
        force = bool(force)
        self._commit('RefreshCache', [force], lambda ctx: jobs.refresh_cache(ctx, force),
                     action=ACTION_REFRESH)

    @dbus.service.method(TX_IFACE, in_signature='tas')
    def Resolve(self, filters, names):
        filters, names = int(filters), [str(n) for n in names]
        self._commit('Resolve', [filters, names], lambda ctx: jobs.resolve(ctx, filters, names))

    @dbus.service.method(TX_IFACE, in_signature='as')
    def GetDetails(self, package_ids):
        ids = [str(i) for i in package_ids]
        self._commit('GetDetails', [ids], lambda ctx: jobs.get_details(ctx, ids))

    @dbus.service.method(TX_IFACE, in_signature='t')
    def GetRepoList(self, filters):
        filters = int(filters)
        self._commit('GetRepoList', [filters], lambda ctx: jobs.get_repo_list(ctx, filters))

    @dbus.service.method(TX_IFACE, in_signature='sb')
    def RepoEnable(self, repo_id, enabled):
        repo_id, enabled = str(repo_id), bool(enabled)
        self._commit('RepoEnable', [repo_id, enabled],
                     lambda ctx: jobs.repo_enable(ctx, repo_id, enabled),
                     action=ACTION_CONFIGURE)

    def emit_packages(self, items):
        """items: (info, package id, summary) tuples, one Package signal each."""
        for info, package_id, summary in items:
            self.Package(info, package_id, summary)
            # packagekitd keeps the last package for Get without announcing it.
            self._values['LastPackage'] = dbus.String(package_id)

    def emit_details(self, package_id, size, summary='', description=''):
        self.Details(dbus.Dictionary({
            'package-id': dbus.String(package_id),
            'size': dbus.UInt64(size),
            'summary': dbus.String(summary),
            'description': dbus.String(description),
            'license': dbus.String('unknown'),
            'group': dbus.UInt32(0),
            'url': dbus.String(''),
        }, signature='sv'))

    @dbus.service.signal(TX_IFACE, signature='uss')
    def Package(self, info, package_id, summary):
        pass

    @dbus.service.signal(TX_IFACE, signature='a(uss)')
    def Packages(self, packages):
        pass

    @dbus.service.signal(TX_IFACE, signature='a{sv}')
    def Details(self, data):
        pass

    @dbus.service.signal(TX_IFACE, signature='ssb')
    def RepoDetail(self, repo_id, description, enabled):
        pass

    @dbus.service.signal(TX_IFACE, signature='us')
    def ErrorCode(self, code, details):
        pass

    @dbus.service.signal(TX_IFACE, signature='uu')
    def Finished(self, exit_code, runtime):
        pass

    @dbus.service.signal(TX_IFACE, signature='')
    def Destroy(self):
        pass


class Engine:
    """PackageKit's scheduler. Transactions are listed and queued in the order they were created
    (not that of their role methods). An exclusive transaction waits while another exclusive one
    or a RefreshCache runs (a refresh holds the package database's lock); every other role
    starts as soon as its role method arrives, beside whatever runs."""

    def __init__(self, service):
        self.service = service
        self.committed = []   # ready and running, in creation order
        self._pump_pending = False
        self._cancellation = 0

    def listed(self):
        return list(self.committed)

    def locked(self):
        return any(t.state in ('running', 'cancelling') and t.method == 'RefreshCache'
                   for t in self.committed)

    # -- authorisation --

    def authorize(self, tx, action):
        """Asks polkit whether the caller may do `action`; the reply to the role method does not
        wait for the answer."""
        tx.state = 'waiting-for-auth'
        tx.update(Status=enums.STATUS_WAITING_FOR_AUTH)
        self._cancellation += 1

        def answered(result):
            if tx.state != 'waiting-for-auth':
                return  # cancelled meanwhile
            if bool(result[0]):
                self.commit(tx)
            else:
                self._refuse(tx, 'Failed to obtain authentication.')

        def failed(error):
            if tx.state == 'waiting-for-auth':
                log.warning('polkit not asked: %s', error.get_dbus_message())
                self._refuse(tx, 'Failed to check for authentication: '
                                 f'{_gdbus_error(error)}')

        self.service.check_authorization(tx.sender, action, tx.interactive,
                                         f'cancellation-id-{self._cancellation}',
                                         answered, failed)

    def _refuse(self, tx, details):
        tx.state = 'finished'
        tx.update(Status=enums.STATUS_FINISHED)
        tx.ErrorCode(enums.ERROR['NotAuthorized'], details)
        tx.Finished(enums.EXIT['Failed'], 0)
        log.info('%s refused: %s', tx.line, details)
        self.service.daemon.list_changed()
        self._schedule_destroy(tx)

    # -- the queue --

    def commit(self, tx):
        tx.state = 'ready'
        keys = [t.serial for t in self.committed]
        self.committed.insert(bisect.bisect(keys, tx.serial), tx)
        self.service.daemon.list_changed()
        tx.update(Status=enums.STATUS_WAIT)
        self._schedule_pump()

    def cancel(self, tx, reply):
        """reply() answers the Cancel call, before or after the transaction's signals as in
        packagekitd."""
        if tx.state == 'new':
            raise dbus.exceptions.DBusException('No role', name=ERROR_PREFIX + 'NoRole')
        if tx.state == 'finished':
            raise dbus.exceptions.DBusException('Transaction is already finished',
                                                name=ERROR_PREFIX + 'NotRunning')
        if tx.state in ('waiting-for-auth', 'ready'):
            # Never ran: it ends at once, its status left as it was.
            tx.state = 'finished'
            tx.ErrorCode(enums.ERROR['TransactionCancelled'],
                         f'{tx.tid} was cancelled and was never run')
            tx.Finished(enums.EXIT['Cancelled'], 0)
            self._unlist(tx)
            self._schedule_destroy(tx)
            self._schedule_pump()
            reply()
        elif tx.state == 'running':
            reply()
            self._stop_timer(tx)
            tx.job = None
            tx.state = 'cancelling'
            tx.update(Status=enums.STATUS_CANCEL)
            tx.update(AllowCancel=False)
            # The dummy backend's upgrade takes its time to stop; its RefreshCache, driven by a
            # timer like all our other roles, stops at once.
            delay = self.service.system.duration('cancel') if tx.method == 'UpgradeSystem' else 0
            GLib.timeout_add(_ms(delay), self._cancel_done, tx)
        else:
            reply()  # a second Cancel while cancelling is accepted and changes nothing

    def _cancel_done(self, tx):
        if tx.state == 'cancelling':
            self._finish(tx, enums.EXIT['Cancelled'],
                         Failure(enums.ERROR['TransactionCancelled'],
                                 'The task was stopped successfully', enums.EXIT['Cancelled']))
        return False

    def _schedule_pump(self):
        if not self._pump_pending:
            self._pump_pending = True
            GLib.idle_add(self._pump)

    def _pump(self):
        self._pump_pending = False
        running = [t for t in self.committed if t.state in ('running', 'cancelling')]
        blocked = self.locked() or any(t.exclusive for t in running)
        for tx in list(self.committed):
            if tx.state != 'ready':
                continue
            if tx.exclusive:
                if blocked:
                    continue
                blocked = True
            self._start(tx)
        return False

    def _start(self, tx):
        tx.state = 'running'
        tx.started = time.monotonic()
        tx.update(Status=enums.STATUS_SETUP)
        system = self.service.system
        for foreign in system.foreign:
            if foreign.matches(tx.line, tx.downloads):
                GLib.timeout_add(_ms(foreign.after), self._foreign_due, tx, foreign)
        fault = system.take_fault(tx.line) if tx.line else None
        if fault:
            log.info('fault for %s: %s', tx.line, fault.details)
            if fault.at_percent is None or not tx.downloads:
                self._finish(tx, fault.exit_code, fault.failure())
                return
        tx.job = tx.job_factory(jobs.JobContext(self.service, tx, fault))
        self._step(tx)

    def _step(self, tx):
        tx.timer = None
        if tx.job is None:
            return False
        try:
            delay = next(tx.job)
        except StopIteration:
            self._finish(tx, enums.EXIT['Success'])
            return False
        except Failure as failure:
            self._finish(tx, failure.exit_code, failure)
            return False
        except Exception:  # a fault of the stand-in must not take the bus service down
            log.error('job of %s failed:\n%s', tx.line, traceback.format_exc())
            self._finish(tx, enums.EXIT['Failed'],
                         Failure(enums.ERROR['InternalError'], 'Internal error of the stand-in'))
            return False
        tx.timer = GLib.timeout_add(_ms(delay), self._step, tx)
        return False

    @staticmethod
    def _stop_timer(tx):
        if tx.timer is not None:
            GLib.source_remove(tx.timer)
            tx.timer = None

    def _foreign_due(self, tx, foreign):
        if tx.state == 'running' and foreign.times > 0:
            foreign.times -= 1
            self.service.add_foreign(foreign.role, foreign.duration, foreign.parallel)
        return False

    def _finish(self, tx, exit_code, failure=None):
        self._stop_timer(tx)
        tx.job = None
        tx.state = 'finished'
        if failure is not None:
            tx.ErrorCode(failure.error, failure.details)
        # A finished transaction is cancellable again, as in PackageKit.
        tx.update(AllowCancel=True)
        # Percentage 100 is the job's business, as it is the backend's in PackageKit.
        tx.update(Status=enums.STATUS_FINISHED)
        runtime = int((time.monotonic() - tx.started) * 1000) if tx.started else 0
        tx.Finished(exit_code, runtime)
        log.info('%s finished: %s', tx.line or 'foreign transaction', enums.EXITS[exit_code])
        self._unlist(tx)
        if exit_code == enums.EXIT['Success']:
            for action in tx.after_success:
                action()
        self._schedule_destroy(tx)
        self._schedule_pump()

    def _unlist(self, tx):
        # Announced even when it was never listed (refused, or cancelled while waiting).
        if tx in self.committed:
            self.committed.remove(tx)
        self.service.daemon.list_changed()

    def _schedule_destroy(self, tx):
        GLib.timeout_add(_ms(self.service.system.duration('destroy')), self.service.destroy, tx)


def _gdbus_error(error):
    """A D-Bus error as GLib's D-Bus code, and so packagekitd, writes it into messages."""
    return f'GDBus.Error:{error.get_dbus_name()}: {error.get_dbus_message()}'


class Daemon(PropertyObject):
    INTERFACE = DAEMON_IFACE
    SIGNATURES = {
        'VersionMajor': 'u', 'VersionMinor': 'u', 'VersionMicro': 'u', 'BackendName': 's',
        'BackendDescription': 's', 'BackendAuthor': 's', 'Roles': 't', 'Groups': 't',
        'Filters': 't', 'MimeTypes': 'as', 'Locked': 'b', 'NetworkState': 'u', 'DistroId': 's',
    }

    def __init__(self, service):
        roles = sum(1 << enums.ROLE[name] for name in ('Cancel',) + ROLE_METHODS)
        filters = (enums.FILTER_NONE | enums.FILTER_INSTALLED | enums.FILTER_NOT_INSTALLED
                   | enums.FILTER_NOT_SOURCE)
        super().__init__(service.bus, DAEMON_PATH, {
            'VersionMajor': 1, 'VersionMinor': 2, 'VersionMicro': 6,
            'BackendName': 'standin', 'BackendDescription': 'Simulated package system',
            'BackendAuthor': 'Corvane', 'Roles': roles, 'Groups': 0, 'Filters': filters,
            'MimeTypes': [], 'Locked': False, 'NetworkState': enums.NETWORK_ONLINE,
            'DistroId': 'corvane-device;standin;noarch',
        })
        self.service = service

    def list_changed(self):
        # PackageKit looks at the backend's lock only when it announces the list.
        self.update(Locked=self.service.engine.locked())
        self.TransactionListChanged(
            dbus.Array([t.tid for t in self.service.engine.listed()], signature='s'))

    @dbus.service.method(DAEMON_IFACE, in_signature='', out_signature='o',
                         sender_keyword='sender')
    def CreateTransaction(self, sender=None):
        return dbus.ObjectPath(self.service.new_transaction(sender or '').tid)

    @dbus.service.method(DAEMON_IFACE, in_signature='', out_signature='ao')
    def GetTransactionList(self):
        return dbus.Array([dbus.ObjectPath(t.tid) for t in self.service.engine.listed()],
                          signature='o')

    @dbus.service.method(DAEMON_IFACE, in_signature='s', out_signature='u',
                         sender_keyword='sender', async_callbacks=('reply', 'error'))
    def CanAuthorize(self, action_id, sender=None, reply=None, error=None):
        def answered(result):
            if bool(result[0]):
                reply(dbus.UInt32(enums.AUTHORIZE_YES))
            elif bool(result[1]):
                reply(dbus.UInt32(enums.AUTHORIZE_INTERACTIVE))
            else:
                reply(dbus.UInt32(enums.AUTHORIZE_NO))

        def failed(failure):
            error(dbus.exceptions.DBusException(
                f'failed to check authorisation {action_id}: {_gdbus_error(failure)}',
                name=ENGINE_ERROR))

        self.service.check_authorization(sender or '', str(action_id), False, '', answered,
                                         failed)

    @dbus.service.method(DAEMON_IFACE, in_signature='', out_signature='s')
    def GetDaemonState(self):
        # packagekitd's debugging dump: every transaction until it is destroyed.
        lines = ['State:']
        for i, t in enumerate(sorted(self.service.transactions.values(),
                                     key=lambda t: t.serial)):
            lines.append(f'{i}\t{enums.role_text(int(t.value("Role")))}\t{t.tid}\t'
                         f'state[{t.state_text}] exclusive[{int(t.exclusive)}] background[0]')
        return '\n'.join(lines) + '\n'

    @dbus.service.method(DAEMON_IFACE, in_signature='s')
    def StateHasChanged(self, reason):
        pass

    @dbus.service.method(DAEMON_IFACE, in_signature='')
    def SuggestDaemonQuit(self):
        pass

    @dbus.service.signal(DAEMON_IFACE, signature='as')
    def TransactionListChanged(self, transactions):
        pass

    @dbus.service.signal(DAEMON_IFACE, signature='')
    def RepoListChanged(self):
        pass

    @dbus.service.signal(DAEMON_IFACE, signature='')
    def UpdatesChanged(self):
        pass


def _invalid(message):
    return dbus.exceptions.DBusException(message, name='org.freedesktop.DBus.Error.InvalidArgs')


class Control(dbus.service.Object):
    def __init__(self, service):
        super().__init__(service.bus, CONTROL_PATH)
        self.service = service

    @staticmethod
    def _document(text):
        try:
            return json.loads(text)
        except ValueError as error:
            raise _invalid(f'Not JSON: {error}') from None

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='as')
    def GetCalls(self):
        return dbus.Array(self.service.calls, signature='s')

    @dbus.service.method(CONTROL_IFACE, in_signature='')
    def ClearCalls(self):
        self.service.calls = []

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='s')
    def GetState(self):
        return json.dumps(self.service.system.to_json(), indent=2)

    @dbus.service.method(CONTROL_IFACE, in_signature='s')
    def LoadState(self, document):
        try:
            self.service.system = PackageSystem(self._document(document))
        except ScenarioError as error:
            raise _invalid(str(error)) from None

    @dbus.service.method(CONTROL_IFACE, in_signature='s')
    def Configure(self, document):
        try:
            self.service.system = self.service.system.configured(self._document(document))
        except ScenarioError as error:
            raise _invalid(str(error)) from None

    @dbus.service.method(CONTROL_IFACE, in_signature='sdb', out_signature='o')
    def AddForeignTransaction(self, role, duration, parallel):
        try:
            number = enums.lookup(enums.ROLE, 'Role', str(role))
        except ValueError as error:
            raise _invalid(str(error)) from None
        if duration < 0:
            raise _invalid('The duration must not be negative')
        return dbus.ObjectPath(self.service.add_foreign(number, float(duration), bool(parallel)))

    @dbus.service.signal(CONTROL_IFACE, signature='s')
    def CallReceived(self, line):
        pass


class Service:
    def __init__(self, bus, system, call_log_path=None):
        self.bus = bus
        self.system = system
        self.call_log_path = call_log_path
        self.calls = []
        self.transactions = {}
        self._serial = 0
        self._call_log_broken = False
        self.engine = Engine(self)
        self.daemon = Daemon(self)
        self.control = Control(self)

    def new_transaction(self, sender):
        self._serial += 1
        tid = f'/{self._serial}_{random.getrandbits(32):08x}'
        uid = 0
        if sender:
            try:
                uid = int(self.bus.get_unix_user(sender))
            except dbus.exceptions.DBusException:
                pass
        tx = Transaction(self, self._serial, tid, sender, uid)
        self.transactions[tid] = tx
        return tx

    def add_foreign(self, role, duration, parallel):
        tx = self.new_transaction('')
        tx.parallel = parallel
        tx.job_factory = lambda ctx: jobs.foreign(ctx, duration)
        tx.method = enums.ROLES[role]
        tx.update(Role=role)
        log.info('foreign transaction %s (%s) for %.1f s', tx.tid, enums.ROLES[role], duration)
        self.engine.commit(tx)
        return tx.tid

    def check_authorization(self, sender, action, interactive, cancellation_id, answered,
                            failed):
        """Asks polkit, as packagekitd does, whether the client `sender` may do `action`.
        answered(result) gets polkit's (authorised, challenge, details); failed(error) the
        D-Bus error when polkit could not be asked (none on the bus, for one)."""
        subject = dbus.Struct(('system-bus-name',
                               dbus.Dictionary({'name': dbus.String(sender, variant_level=1)},
                                               signature='sv')), signature='sa{sv}')
        flags = 1 if interactive else 0  # AllowUserInteraction
        self.bus.call_async(POLKIT_NAME, POLKIT_PATH, POLKIT_IFACE, 'CheckAuthorization',
                            '(sa{sv})sa{ss}us',
                            (subject, action, dbus.Dictionary({}, signature='ss'), flags,
                             cancellation_id),
                            answered, failed)

    def destroy(self, tx):
        tx.Destroy()
        tx.remove_from_connection()
        self.transactions.pop(tx.tid, None)
        return False

    def log_call(self, line):
        log.info('call: %s', line)
        self.calls.append(line)
        if self.call_log_path and not self._call_log_broken:
            try:
                with open(self.call_log_path, 'a', encoding='utf-8') as f:
                    f.write(line + '\n')
            except OSError as error:
                self._call_log_broken = True
                log.warning('cannot write the call log %s: %s', self.call_log_path, error)
        self.control.CallReceived(line)
