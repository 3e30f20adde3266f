// The Quarl extension's client: starts `quarl lsp` (as `<python> -m tessel
// lsp`, the interpreter from the settings) for every `.quarl` document, and
// says clearly what to install when that environment lacks tessel[lsp].
import { spawnSync } from "node:child_process";
import * as vscode from "vscode";
import { LanguageClient, LanguageClientOptions, ServerOptions, TransportKind } from "vscode-languageclient/node";

const SECTION = "quarl.server";
let client: LanguageClient | undefined;

interface ServerCommand {
  python: string;
  args: string[];
}

function serverCommand(): ServerCommand {
  const settings = vscode.workspace.getConfiguration(SECTION);
  return {
    python: settings.get<string>("python") || "python3",
    args: settings.get<string[]>("args") || ["-m", "tessel", "lsp"],
  };
}

// Why the configured environment cannot run the server, or undefined when it can.
function missingServer(command: ServerCommand): string | undefined {
  const probe = spawnSync(command.python, ["-c", "import tessel.lsp.server"], { encoding: "utf8", timeout: 30000 });
  if (probe.error) {
    return `Quarl: cannot start '${command.python}' (${probe.error.message}). Set "quarl.server.python" to the Python that has tessel installed.`;
  }
  if (probe.status !== 0) {
    return `Quarl: the language server needs tessel with its lsp extra in '${command.python}': run \`${command.python} -m pip install 'tessel[lsp]'\`, or set "quarl.server.python" to an environment that has it.`;
  }
  return undefined;
}

async function start(context: vscode.ExtensionContext): Promise<void> {
  const command = serverCommand();
  const missing = missingServer(command);
  if (missing !== undefined) {
    void vscode.window.showErrorMessage(missing);
    return;
  }
  const serverOptions: ServerOptions = {
    command: command.python,
    args: command.args,
    transport: TransportKind.stdio,
  };
  const clientOptions: LanguageClientOptions = {
    documentSelector: [{ language: "quarl" }],
    synchronize: {
      fileEvents: vscode.workspace.createFileSystemWatcher("**/{*.quarl,*.md,quarl.toml,pyproject.toml}"),
    },
  };
  client = new LanguageClient("quarl", "Quarl", serverOptions, clientOptions);
  context.subscriptions.push(client);
  await client.start();
}

export async function activate(context: vscode.ExtensionContext): Promise<void> {
  context.subscriptions.push(
    vscode.commands.registerCommand("quarl.restartServer", async () => {
      await client?.stop();
      client = undefined;
      await start(context);
    }),
    vscode.workspace.onDidChangeConfiguration(async (event) => {
      if (event.affectsConfiguration(SECTION)) {
        await vscode.commands.executeCommand("quarl.restartServer");
      }
    }),
  );
  await start(context);
}

export async function deactivate(): Promise<void> {
  await client?.stop();
}
