// The draft explainer's examples as a page writes them, with the package's global
// declarations only (no import): each body is the explainer's, unchanged but for its
// "…" lines; the names it leaves undefined are declared around it. Checked strict,
// as a page's code (tsconfig.draft.json: unused locals allowed, as the examples have).
/// <reference path="../../src/global.d.ts" />

declare const connection: SmartCardConnection;
declare const someOtherCommand: Uint8Array<ArrayBuffer>;
declare const finalCommand: Uint8Array<ArrayBuffer>;

async function transmitToCardInReader(): Promise<void> {
  try {
    let context = await navigator.smartCard.establishContext();
    let readers = await context.listReaders();

    // Assume there's at least one reader present.
    let reader = readers[0];

    console.log("Connecting to the smart card inside " + reader);
    // A permission prompt might be displayed before the connection is established.
    let connectResult = await context.connect(reader, "shared",
        {preferredProtocols: ["t0", "t1"]});

    console.log(`Connected with protocol ${connectResult.activeProtocol}`);

    let connection = connectResult.connection;

    // Send an APDU (application protocol data unit) and get the card's response
    let command = new Uint8Array([0x00, 0xA4, 0x04, 0x00, 0x0A, 0xA0, 0x00, 0x00,
        0x00, 0x62, 0x03, 0x01, 0x0C, 0x06, 0x01]);

    let responseData = connection.transmit(command);
    console.log("Card responded with: " + responseData);

    await connection.disconnect();
  } catch(ex) {
    console.warn("A Smart Card operation failed: " + ex);
  }
}

async function transmissionsInATransaction(): Promise<void> {
  try {
    await connection.startTransaction(async () => {
      // A transaction has successfully started.
      let firstCommand = new Uint8Array([0x00, 0xA4, 0x04, 0x00, 0x0A, 0xA0, 0x00,
          0x00, 0x00, 0x62, 0x03, 0x01, 0x0C, 0x06, 0x01]);
      let firstResponse = await connection.transmit(firstCommand);
      await connection.transmit(someOtherCommand);
      await connection.transmit(finalCommand);

      // Reset the card when ending the transaction.
      return "reset";
    });
  } catch (ex) {
    // Either the transaction failed to start, the callback
    // has thrown or the transaction failed to end.
  }
}

async function readerAvailability(): Promise<void> {
  try {
    let context = await navigator.smartCard.establishContext();

    let oldReaders = await context.listReaders();

    let allReaders = await context.getStatusChange(
        [{readerName: "\\\\?PnP?\\Notification", currentState: {}}],
        {timeout: 10000})
          .then(
            (statesOut) => {
              // A new reader was added.
              return context.listReaders();
            }
          );

    let newReaders = allReaders.filter(x => !oldReaders.includes(x));
    console.log("Readers added: " + newReaders);
  } catch(ex) {
    console.warn("A Smart Card operation failed (or timed out): " + ex);
  }
}

// The draft's error handling, and a wait bounded by a signal.
async function errorHandling(): Promise<void> {
  try {
    await connection.startTransaction(async () => "leave", { signal: AbortSignal.timeout(5000) });
  } catch (e) {
    if (e instanceof SmartCardError && e.responseCode === "reset-card") console.log(e.message);
  }
}

export const examples = [transmitToCardInReader, transmissionsInATransaction, readerAvailability, errorHandling];
