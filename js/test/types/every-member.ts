import type {} from "@vorn/scard-bridge-client/global";
// Uses every member of the package's typings as an application would, through the
// package's own exports; `tsc -p test/types` checks it (npm run check-types).

import {
  ScardBridgeClient,
  ScardError,
  StatusCode,
  HOST_MAJOR_VERSION,
  NEW_CONTEXT_CODES,
  needsNewContext,
  type ScardErrorKind,
  type PortLike,
} from '@vorn/scard-bridge-client/client';
import {
  SmartCardError,
  SmartCardResourceManager,
  installSmartCard,
  errorForCode,
  flagsInToState,
  stateToFlagsOut,
  connectionState,
  RESPONSE_CODES,
  MAX_CONTROL_INPUT,
  type SmartCardContext,
  type SmartCardConnection,
  type SmartCardConnectResult,
  type SmartCardReaderStateOut,
  type SmartCardConnectionStatus,
  type SmartCardResponseCode,
  type SmartCardDisposition,
  type SmartCardConnectionState,
} from '@vorn/scard-bridge-client/facade';
import {
  OriginGrants,
  RELAYED_COMMANDS,
  RELAY_PORT_NAME,
  GRANTS_KEY,
  grantableOrigin,
  originPattern,
  startRelay,
  relayContentScript,
  pageRelayPort,
  installPageSmartCard,
  installWorkerSmartCard,
  allowPageWorkers,
  pageSession,
  type Relay,
  type RelayedCommand,
} from '@vorn/scard-bridge-client/relay';

const major: 1 = HOST_MAJOR_VERSION;
const removed: number = StatusCode.SCARD_W_REMOVED_CARD;

async function extensionPage(): Promise<string[]> {
  const client = ScardBridgeClient.connect({ requestTimeoutMs: 5000 });
  const version: string | null = await client.ready;
  const checked: string = await client.checkHostVersion();
  const context = await client.establishContext();
  const names: string[] = await client.listReaderNames(context);
  const { card } = await client.connect(context, names[0] ?? '');
  await client.setAttrib(context, card, 0x0007a001, new Uint8Array([1]));
  const watch = client.watchCards({
    onEvent: (event) => event.initial,
    onError: (error) => needsNewContext(error) && NEW_CONTEXT_CODES.includes(error.code ?? 0),
    readers: names,
    pollIntervalMs: 1000,
    retryDelayMs: 250,
    maxRetryDelayMs: 4000,
  });
  await watch.stop();
  return [version ?? '', checked];
}

async function explainer(smartCard: SmartCardResourceManager): Promise<void> {
  const context: SmartCardContext = await smartCard.establishContext();
  const readers: string[] = await context.listReaders();
  const reader = readers[0] ?? '';
  const controller = new AbortController();
  const states: SmartCardReaderStateOut[] = await context.getStatusChange(
    [{ readerName: reader, currentState: { unaware: true, empty: false }, currentCount: 0 }],
    { timeout: 1000, signal: controller.signal },
  );
  const atr: ArrayBuffer | undefined = states[0]?.answerToReset;
  const changed: boolean = states[0]?.eventState.changed ?? false;
  const count: number = states[0]?.eventCount ?? 0;

  const result: SmartCardConnectResult = await context.connect(reader, 'shared', { preferredProtocols: ['t0', 't1'] });
  const connection: SmartCardConnection = result.connection;
  const response: ArrayBuffer = await connection.transmit(new Uint8Array([0, 0xa4, 4, 0]), { protocol: 't1' });
  const status: SmartCardConnectionStatus = await connection.status();
  const state: SmartCardConnectionState = status.state;
  const output: ArrayBuffer = await connection.control(0x42000d48, new ArrayBuffer(0));
  const attribute: ArrayBuffer = await connection.getAttribute(0x0303);
  await connection.setAttribute(0x0007a001, new DataView(new ArrayBuffer(1)));
  await connection.startTransaction(async () => 'reset', { signal: controller.signal });
  await connection.startTransaction(async () => undefined);
  const disposition: SmartCardDisposition = 'eject';
  await connection.disconnect(disposition);
  console.log(atr, changed, count, response, state, output, attribute, result.activeProtocol);
}

function errors(error: unknown): SmartCardResponseCode | null {
  if (error instanceof SmartCardError) return error.responseCode;
  if (error instanceof ScardError) {
    const kind: ScardErrorKind = error.kind;
    console.log(kind, error.code, error.codeName, error.hint);
  }
  return null;
}

async function pages(): Promise<void> {
  const grants = new OriginGrants();
  const origin: string = await grants.decide('http://localhost:8080', 'granted');
  await grants.decide('https://example.org', 'refused');
  const decisions = await grants.all();
  console.log(decisions[origin] === 'granted', await grants.granted());
  await grants.forget(origin);
  const relay: Relay = startRelay({ pageScript: 'page-script.js', relayScript: 'relay-script.js', workersScript: 'workers-script.js' });
  await relay.ready;
  await relay.sync();
  relayContentScript();
  const port: PortLike = await pageRelayPort({ timeoutMs: 1000 });
  port.disconnect();
  const manager: SmartCardResourceManager | null = installPageSmartCard();
  allowPageWorkers({ workerScript: 'installWorkerSmartCard()' });
  const shared: PortLike = await pageSession()();
  shared.disconnect();
  installWorkerSmartCard({ scope: globalThis, timeoutMs: 1000 });
  const commands: readonly RelayedCommand[] = RELAYED_COMMANDS;
  console.log(manager, commands, RELAY_PORT_NAME, GRANTS_KEY, grantableOrigin('https://a.example'), originPattern(origin));
}

const manager = installSmartCard(navigator, { connect: () => ScardBridgeClient.connect() });
const same: SmartCardResourceManager | undefined = navigator.smartCard;
const error = new SmartCardError('no card', { responseCode: 'no-smartcard' });
const mapped = errorForCode(0x8010000c, 'no card');
const flags = stateToFlagsOut(flagsInToState({ present: true }) | 0x2);
const connected: SmartCardConnectionState | undefined = connectionState(0x34, 2);
const codes: Readonly<Record<number, SmartCardResponseCode>> = RESPONSE_CODES;
const limit: 2048 = MAX_CONTROL_INPUT;

console.log(major, removed, extensionPage, explainer(manager), errors(error), pages, same, mapped, flags, connected, codes, limit);
